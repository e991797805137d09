# An installed messenger cannot write to its own folder, so the replies of the directory
# land in the user's cache folder instead, one folder per user that no other user can
# read. Checked on the installed program under Xvfb: a login is typed into its window,
# against a directory at the address the program was built for.

# That address is 127.0.0.1:8642, which a directory of the developer's own may hold.
# As root, the check runs in a network namespace of its own, where that port is free
# and where nothing can reach any address but its own loopback.
if [[ -z "${SORVANE_PRIVATE_NETWORK:-}" && $(id -u) -eq 0 ]] \
   && command -v unshare >/dev/null && command -v ip >/dev/null \
   && unshare --net ip link set lo up 2>/dev/null; then
  exec unshare --net env SORVANE_PRIVATE_NETWORK=1 \
    bash -c 'ip link set lo up && exec bash "$0"' "$0"
fi

source "$(dirname "$0")/common.sh"

for tool in Xvfb xauth xdotool; do
  command -v "$tool" >/dev/null \
    || skip "$tool is missing (Debian packages xvfb, xauth, xdotool); the window cannot be driven"
done
# The login window: its fixed size, and its fields in its own coordinates.
login_size=291x155
user_field=(180 53)
password_field=(180 80)
base=${SORVANE_DIRECTORY_BASE:?}
[[ "$base" == http://127.0.0.1:8642/* ]] \
  || skip "this build asks the directory at $base, which this check cannot stand in for"

prefix="$work/prefix"
install_into "$prefix"
chmod 0755 "$work"

# On failure, show what the programs said.
fail() {
  echo "FAIL: $*" >&2
  local log
  for log in "$work"/*.log; do
    [[ "$log" == */install.log ]] && continue
    [[ -s "$log" ]] && { echo "--- ${log##*/}" >&2; tail -n 20 "$log" >&2; }
  done
  if [[ -n "${DISPLAY:-}" ]]; then
    echo "--- windows on the screen" >&2
    local window
    for window in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
      echo "$window '$(xdotool getwindowname "$window" 2>/dev/null)'" \
           "$(xdotool getwindowgeometry "$window" 2>/dev/null | tr -s '\n ' ' ')" >&2
    done
  fi
  exit 1
}

# --- the users ---------------------------------------------------------------------------
# As root: two throw-away accounts that exist only as numbers. Otherwise this user twice,
# with the program's folder made read-only as a system-wide installation has it.
if [[ $(id -u) -eq 0 ]]; then
  read -r -a uids < <(awk -F: '{ used[$3] = 1 }
                               END { for (u = 61000; n < 2; u++) if (!(u in used)) { printf "%d ", u; n++ }; print "" }' /etc/passwd)
  as_user() { local uid=$1; shift; setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; }
else
  uids=("$(id -u)" "$(id -u)")
  as_user() { shift; "$@"; }
  chmod a-w "$prefix/bin"
  later_do "chmod u+w '$prefix/bin'"
fi
bin_before=$(ls -A "$prefix/bin")

# --- the directory -----------------------------------------------------------------------
port_taken() { (exec 3<>/dev/tcp/127.0.0.1/8642) 2>/dev/null; }
port_taken && skip "127.0.0.1:8642 is taken by another program and no private network can be made (needs root)"
"$prefix/bin/sorvane-directory" --listen 127.0.0.1:8642 --db "$work/directory.db" \
  --observed-address --hash-cost 1 >"$work/directory.out" 2>"$work/directory.log" &
directory=$!
later_do "kill $directory 2>/dev/null; wait $directory 2>/dev/null"
for _ in $(seq 100); do
  grep -q '^listening on' "$work/directory.out" && break
  if ! kill -0 "$directory" 2>/dev/null; then
    port_taken && skip "127.0.0.1:8642 was taken by another program meanwhile"
    fail "the directory did not start"
  fi
  sleep 0.1
done
grep -q '^listening on' "$work/directory.out" || fail "the directory did not start"

get() {  # the body of GET PATH on the directory
  exec 3<>/dev/tcp/127.0.0.1/8642
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
  sed '1,/^\r$/d' <&3
  exec 3<&-
}
[[ "$(get '/messenger/n.php?u=first@example.com&p=right-horse')" == $'OK\r' ]] || fail "could not register first@example.com"
refusal=$(get '/messenger/c.php?u=nobody@example.com&p=x&ip=127.0.0.1&port=1' | head -1)
[[ -n "$refusal" && "$refusal" != OK* ]] || fail "the directory accepts a log-in of nobody"

# --- the screen --------------------------------------------------------------------------
cookie=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
# The server takes every cookie of its file, whatever display the entry names.
: >"$work/server.xauth"
xauth -q -f "$work/server.xauth" add :0 MIT-MAGIC-COOKIE-1 "$cookie"
Xvfb -displayfd 3 -auth "$work/server.xauth" -nolisten tcp -screen 0 1024x768x24 \
  3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
later_do "kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null"
for _ in $(seq 100); do
  [[ -s "$work/display" ]] && break
  kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
  sleep 0.1
done
[[ -s "$work/display" ]] || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")" XAUTHORITY="$work/driver.xauth"
: >"$XAUTHORITY"
xauth -q -f "$XAUTHORITY" add "$DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie"

# --- one login each ----------------------------------------------------------------------
# log_in N UID USER PASSWORD [VAR=VALUE...]: starts the installed messenger as UID with a
# home of its own and the given environment, types USER and PASSWORD into its login window
# and waits for the reply to be read back; sets `scratch` to the reply's file.
log_in() {
  local n=$1 uid=$2 user=$3 password=$4; shift 4
  local home="$work/home$n"
  mkdir -p "$home/run"
  : >"$home/.Xauthority"
  xauth -q -f "$home/.Xauthority" add "$DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie"
  chown -R "$uid:$uid" "$home"
  chmod 0700 "$home/run"
  chmod 0755 "$home"  # so the other user could look, were the cache folder open

  # Started by name from PATH, as the menu entry does.
  as_user "$uid" env -i HOME="$home" DISPLAY="$DISPLAY" XAUTHORITY="$home/.Xauthority" \
    XDG_RUNTIME_DIR="$home/run" PATH="$prefix/bin:/usr/bin:/bin" LANG=C.UTF-8 "$@" \
    sorvane-messenger >"$work/messenger$n.log" 2>&1 &
  local pid=$!
  later_do "kill $pid 2>/dev/null; wait $pid 2>/dev/null"

  local window=""
  for _ in $(seq 150); do
    local candidate
    for candidate in $(xdotool search --onlyvisible --pid "$pid" --name '^Sorvane Messenger$' 2>/dev/null); do
      xdotool getwindowgeometry "$candidate" 2>/dev/null | grep -q "Geometry: $login_size\$" && window=$candidate
    done
    [[ -n "$window" ]] && break
    kill -0 "$pid" 2>/dev/null || fail "messenger $n ended before showing its login window"
    sleep 0.1
  done
  [[ -n "$window" ]] || fail "messenger $n showed no login window"

  # A window that has only just appeared may still be placed, and a click on it lost; so
  # type again, over what a first attempt left in the fields, until a reply arrives.
  local attempt geometry="" placed
  for _ in $(seq 20); do
    placed=$(xdotool getwindowgeometry "$window" 2>/dev/null) || true
    [[ -n "$placed" && "$placed" == "$geometry" ]] && break
    geometry=$placed
    sleep 0.1
  done
  scratch=""
  for attempt in 1 2 3; do
    xdotool windowfocus --sync "$window"
    xdotool mousemove --window "$window" "${user_field[@]}" click 1 key ctrl+a
    xdotool type --delay 5 "$user"
    xdotool mousemove --window "$window" "${password_field[@]}" click 1 key ctrl+a
    xdotool type --delay 5 "$password"
    xdotool key Return

    # The reply is complete once its first line has ended.
    for _ in $(seq 50); do
      scratch=$(find "$home" "$prefix" -name temp.txt -newer "$work/display" 2>/dev/null | head -1)
      [[ -n "$scratch" ]] && grep -q $'\r' "$scratch" 2>/dev/null && break 2
      sleep 0.1
    done
    echo "messenger $n: no reply after login attempt $attempt" >&2
  done
  [[ -n "$scratch" ]] || fail "messenger $n wrote no reply anywhere after its login"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
}

log_in 1 "${uids[0]}" first@example.com right-horse
home_cache=$(dirname "$scratch")
log_in 2 "${uids[1]}" second@example.com wrong-horse XDG_CACHE_HOME="$work/home2/xdg"
xdg_cache=$(dirname "$scratch")

# --- where the replies went ----------------------------------------------------------------
[[ "$(ls -A "$prefix/bin")" == "$bin_before" ]] || fail "something was written beside the installed program"
[[ "$home_cache" == "$work/home1/.cache/sorvane-messenger" ]] \
  || fail "without XDG_CACHE_HOME the reply went to $home_cache, not ~/.cache/sorvane-messenger"
[[ "$xdg_cache" == "$work/home2/xdg/sorvane-messenger" ]] \
  || fail "with XDG_CACHE_HOME the reply went to $xdg_cache, not \$XDG_CACHE_HOME/sorvane-messenger"

# Each folder holds its own user's reply and belongs to that user alone.
[[ "$(head -1 "$home_cache/temp.txt")" == $'OK\r' ]] || fail "the first user's reply is not the accepted login"
[[ "$(head -1 "$xdg_cache/temp.txt")" == "$refusal" ]] || fail "the second user's reply is not the refusal"
check_private() {
  local folder=$1 uid=$2
  [[ "$(stat -c '%a %u' "$folder")" == "700 $uid" ]] \
    || fail "$folder is $(stat -c '%a, owner %u' "$folder"); it should be 700, owner $uid"
  [[ "$(stat -c %u "$folder/temp.txt")" == "$uid" ]] || fail "$folder/temp.txt is not its user's"
}
check_private "$home_cache" "${uids[0]}"
check_private "$xdg_cache" "${uids[1]}"
if [[ "${uids[0]}" != "${uids[1]}" ]]; then
  as_user "${uids[1]}" cat "$home_cache/temp.txt" >/dev/null 2>&1 && fail "the second user can read the first user's reply"
  as_user "${uids[0]}" ls "$xdg_cache" >/dev/null 2>&1 && fail "the first user can list the second user's scratch folder"
fi

echo "replies in $home_cache and $xdg_cache; nothing beside $prefix/bin/sorvane-messenger"
