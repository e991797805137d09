#!/usr/bin/env bash
# Runs every benchmark of the bench build and prints one table (report.py): each figure next to
# its floor measured in the same run. Everything talks to loopback only; every program stops by
# itself (bounded counts and times), and each is given at most ten minutes.
# Usage: bench/run.sh [BUILD_DIR]   (default build-bench)
set -uo pipefail
cd "$(dirname "$0")/.."
# With --on-display: only the whole-program figures, on the X display this script was given.
onDisplay=false
if [[ ${1:-} == --on-display ]]; then
  onDisplay=true
  shift
fi
build=${1:-build-bench}
bin=$build/bin
out=$build/bench-results
mkdir -p "$out"
# A proxy configured for this shell must not take the loopback traffic away.
export no_proxy=127.0.0.0/8,localhost NO_PROXY=127.0.0.0/8,localhost
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY

run() {
  local name=$1
  shift
  local start=$SECONDS
  echo "bench: $name ..." >&2
  if ! timeout 600 "$@" --benchmark_out="$out/$name.json" --benchmark_out_format=json \
      >"$out/$name.log" 2>&1; then
    echo "bench: $name did not finish cleanly; its output is in $out/$name.log" >&2
  fi
  echo "bench: $name took $((SECONDS - start)) s" >&2
}

if $onDisplay; then
  run startup "$bin/startup_bench"
  run memory "$bin/memory_bench"
  exit 0
fi

rm -f "$out"/*.json "$out"/*.log
run net "$bin/net_bench"
run directory "$bin/directory_bench"
run presence "$bin/presence_bench"
run conversation "$bin/conversation_bench"
# The first run generates the directories of 100 000 and 1 000 000 accounts, as SQLite files and
# in a PostgreSQL cluster (a few minutes); later runs reuse them from $build/bench-data.
run server "$bin/server_bench"
# Whole programs on an X display of their own.
xvfb-run -a -s "-nolisten tcp -noreset" "$0" --on-display "$build" ||
  echo "bench: no X display for the start-up and memory figures" >&2

echo >&2
python3 bench/report.py "$out"
