#!/usr/bin/env bash
# Starts the local directory server (once) and one more messenger.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/bin
listen=127.0.0.1:8642
state="${XDG_STATE_HOME:-$HOME/.local/state}/sorvane-messenger"
mkdir -p "$state"

if [[ "${1:-}" == "--check-display" || -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "make run needs a graphical desktop: no DISPLAY or WAYLAND_DISPLAY is set, so the messenger window cannot open." >&2
    exit 1
  fi
  exit 0
fi

if ! (exec 3<>/dev/tcp/127.0.0.1/8642) 2>/dev/null; then
  echo "Starting the directory server on $listen (log: $state/directory.log)"
  nohup "$bin/sorvane-directory" --listen "$listen" --db "$state/directory.db" --observed-address \
      >>"$state/directory.log" 2>&1 &
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/8642) 2>/dev/null && break
    sleep 0.1
  done
fi

echo "Starting Sorvane Messenger (log: $state/messenger.log)"
# The directory started here, whatever settings files of this user name another.
SORVANE_DIRECTORY_URL="http://$listen/messenger/" \
  nohup "$bin/sorvane-messenger" >>"$state/messenger.log" 2>&1 &
pid=$!
sleep 1
if ! kill -0 "$pid" 2>/dev/null; then
  echo "The messenger ended at once; the end of its log says why:" >&2
  tail -n 5 "$state/messenger.log" >&2
  exit 1
fi
