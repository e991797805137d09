# Shared by the packaging checks: failing, skipping, a scratch folder that goes away,
# and an installation of the build tree into it.
set -euo pipefail

: "${CMAKE_COMMAND:?}" "${SORVANE_BUILD_DIR:?}" "${SORVANE_SOURCE_DIR:?}"

fail() { echo "FAIL: $*" >&2; exit 1; }
# A command that stops the script without a word of its own still says where.
trap 'echo "FAIL: line $LINENO of ${BASH_SOURCE[0]##*/}: $BASH_COMMAND" >&2' ERR
skip() { echo "SKIP: $*"; exit 77; }

cleanups=()
on_exit() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
}
trap on_exit EXIT
# later_do CMD: run CMD when the script ends, newest first.
later_do() { cleanups+=("$1"); }

work=$(mktemp -d "${TMPDIR:-/tmp}/sorvane-packaging.XXXXXX")
later_do "rm -rf '$work'"

# install_into PREFIX: what `cmake --install` of this build tree lays out there.
install_into() {
  "$CMAKE_COMMAND" --install "$SORVANE_BUILD_DIR" --prefix "$1" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fail "cmake --install --prefix $1 failed"; }
}
