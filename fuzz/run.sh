#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 into build-fuzz/ and runs each one for a bounded
# time. `make fuzz` calls this.
#
#   fuzz/run.sh [NAME ...]      NAME: linelist receiveline sender friends address request
#   FUZZ_SECONDS=600 fuzz/run.sh request
#
# Each target starts from its seed corpus (fuzz/corpus/NAME/, kept small in the tree) and
# grows a working corpus in build-fuzz/corpus/NAME/. An input that crashes a target or breaks
# one of its rules is saved in build-fuzz/findings/NAME/ and the script fails; once fixed, copy
# the input into fuzz/corpus/NAME/ so the replay test of `make test` keeps checking it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_BUILD_JOBS:-2}
all=(linelist receiveline sender friends address request)
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=("${all[@]}")

for name in "${targets[@]}"; do
  [[ " ${all[*]} " == *" $name "* ]] || { echo "fuzz/run.sh: no target '$name' (${all[*]})" >&2; exit 2; }
done
command -v clang++-14 >/dev/null || { echo "fuzz/run.sh: clang++-14 missing (scripts/deps.sh fuzz)" >&2; exit 1; }

if [[ ! -f "$build/build.ninja" ]]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 \
    -DSORVANE_SANITIZE=fuzzer -DSORVANE_BUILD_FUZZ=ON -DSORVANE_BUILD_TESTS=OFF \
    -DSORVANE_WERROR=OFF >/dev/null
fi
cmake --build "$build" --target $(printf 'fuzz_%s ' "${targets[@]}") -j "$jobs"

failed=()
for name in "${targets[@]}"; do
  work="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$work" "$findings"
  dict=()
  [[ -f "$root/fuzz/dict/$name.dict" ]] && dict=(-dict="$root/fuzz/dict/$name.dict")
  echo "== fuzz_$name for ${seconds}s"
  # ASan's leak check stays on; UBSan findings abort (built with -fno-sanitize-recover).
  if ! "$build/bin/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" \
        "$work" "$root/fuzz/corpus/$name" >"$build/fuzz_$name.log" 2>&1; then
    failed+=("$name")
    tail -n 40 "$build/fuzz_$name.log"
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done ' "$build/fuzz_$name.log" || true
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz: findings in ${failed[*]} (inputs in $build/findings/)" >&2
  exit 1
fi
echo "fuzz: ${targets[*]}: no findings in ${seconds}s each"
