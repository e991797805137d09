#!/usr/bin/env bash
# Applies .clang-format to every tracked C++ file, or with --check lists the files it would
# change and fails. Generated files (uic's ui_*.h, moc output) live in the build folders and
# are not tracked; Designer .ui files are XML and are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == "--check" ]]; then
    bad=()
    for f in "${files[@]}"; do
        clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
    done
    if [[ ${#bad[@]} -gt 0 ]]; then
        echo "Not formatted (run make format):" >&2
        printf '  %s\n' "${bad[@]}" >&2
        exit 1
    fi
    exit 0
fi
clang-format -i "${files[@]}"
