# The installed systemd unit: systemd accepts it, it is well confined, and its ExecStart
# command line starts a directory that answers, as the unprivileged account it names.
source "$(dirname "$0")/common.sh"

prefix="$work/prefix"
install_into "$prefix"
unit="$prefix/lib/systemd/system/sorvane-directory.service"

# --- what systemd makes of the unit ---------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  # verify also looks up the Documentation= manual, so the manual path is this prefix's.
  if ! report=$(cd "$work" && MANPATH="$prefix/share/man" SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$unit" 2>&1); then
    echo "$report" >&2
    fail "systemd-analyze verify refuses the unit"
  fi
  # Anything it reports about our unit is a mistake in it.
  if grep -F "sorvane-directory" <<<"$report" >&2; then
    fail "systemd-analyze verify has remarks on the unit"
  fi
  # systemd's own rating of the confinement: 0 (tight) to 10 (none); 2 and over is
  # "MEDIUM", which an HTTP server holding password hashes has no reason to be.
  if systemd-analyze security --help 2>&1 | grep -q -- '--offline'; then
    rating=$(cd "$work" && systemd-analyze security --offline=true --no-pager "$unit" 2>&1 \
               | sed -n 's/.*Overall exposure level for sorvane-directory.service: \([0-9.]*\).*/\1/p')
    [[ -n "$rating" ]] || fail "systemd-analyze security gave no exposure level"
    awk -v r="$rating" 'BEGIN { exit !(r < 2.0) }' || fail "exposure level $rating, not below 2.0"
    echo "systemd-analyze: unit verified, exposure level $rating"
  else
    echo "systemd-analyze security cannot rate unit files offline here; exposure not checked"
  fi
else
  echo "systemd-analyze is missing (Debian package systemd); unit not verified by systemd"
fi

# --- the service's settings that the package and the manual rely on ----------------------
setting() { sed -n "s/^$1=//p" "$unit"; }
account=$(setting User)
[[ -n "$account" && "$account" != root && "$account" != 0 ]] || fail "the unit runs as '${account:-root}'"
[[ "$(setting StateDirectory)" == sorvane-directory ]] || fail "StateDirectory is not sorvane-directory"

# --- its options file ----------------------------------------------------------------------
[[ "$(setting EnvironmentFile)" == -/etc/default/sorvane-directory ]] \
  || fail "the unit does not read /etc/default/sorvane-directory (optionally)"
options_file="$prefix/etc/default/sorvane-directory"
[[ -f "$options_file" ]] || fail "no options file installed"
defaults=$(setting Environment)
grep -q '^SORVANE_DIRECTORY_LISTEN=' <<<"$defaults" || fail "the unit has no default for SORVANE_DIRECTORY_LISTEN"
# load_environment FILE: unit_env becomes the service's environment as systemd makes it: the
# unit's defaults, then FILE's assignments, each of which must be one the unit uses.
declare -A unit_env
load_environment() {
  local line
  unit_env=()
  while IFS= read -r line; do unit_env[${line%%=*}]=${line#*=}; done <<<"$defaults"
  while IFS= read -r line; do
    [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
    [[ "$line" =~ ^([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] || fail "${1##*/}: systemd does not read '$line'"
    [[ -v "unit_env[${BASH_REMATCH[1]}]" ]] || fail "${1##*/}: the unit does not use ${BASH_REMATCH[1]}"
    unit_env[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
  done <"$1"
}
# Every commented setting is one a reader may uncomment.
sed -n 's/^#\([A-Z_]*=\)/\1/p' "$options_file" >"$work/uncommented"
[[ -s "$work/uncommented" ]] || fail "the options file shows no setting to uncomment"
load_environment "$work/uncommented"
# As shipped it changes nothing, so the command line below is the unit's default one.
load_environment "$options_file"

# --- its command line, run for real ------------------------------------------------------
# ${NAME} is one word, $NAME as many words as its value has, as systemd expands them.
command=()
for word in $(setting ExecStart); do
  if [[ "$word" =~ ^\$\{([A-Za-z_0-9]+)\}$ ]]; then
    command+=("${unit_env[${BASH_REMATCH[1]}]}")
  elif [[ "$word" =~ ^\$([A-Za-z_0-9]+)$ ]]; then
    read -r -a words <<<"${unit_env[${BASH_REMATCH[1]}]}"
    command+=("${words[@]}")
  else
    command+=("$word")
  fi
done
[[ "${command[0]}" == "$prefix/bin/sorvane-directory" ]] || fail "ExecStart starts ${command[0]}"
# The same command line, except for a free port instead of the published one and a
# database in the scratch folder instead of /var/lib.
state="$work/state"
mkdir -m 0750 "$state"
saw_listen=0 saw_db=0
for ((i = 1; i < ${#command[@]}; i++)); do
  case "${command[i]}" in
    --listen) [[ "${command[i + 1]}" == 127.0.0.1:8642 ]] || fail "the unit listens on ${command[i + 1]}"
              command[i + 1]=127.0.0.1:0; saw_listen=1 ;;
    --db) [[ "${command[i + 1]}" == /var/lib/sorvane-directory/* ]] || fail "the database is not in the state folder"
          command[i + 1]="$state/${command[i + 1]##*/}"; saw_db=1 ;;
  esac
done
(( saw_listen && saw_db )) || fail "ExecStart does not name --listen and --db"

# Run it as an account of its own when this runs as root, like the service does.
as_account=()
if [[ $(id -u) -eq 0 ]]; then
  chmod 0755 "$work"
  uid=$(awk -F: '{ used[$3] = 1 } END { for (u = 61000; u in used; u++); print u }' /etc/passwd)
  chown "$uid:$uid" "$state"
  as_account=(setpriv --reuid="$uid" --regid="$uid" --clear-groups)
fi
"${as_account[@]}" "${command[@]}" >"$work/server.out" 2>"$work/server.err" &
server=$!
later_do "kill $server 2>/dev/null; wait $server 2>/dev/null"

port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
  [[ -n "$port" ]] && break
  kill -0 "$server" 2>/dev/null || { cat "$work/server.err" >&2; fail "the unit's command line did not start the server"; }
  sleep 0.1
done
[[ -n "$port" ]] || fail "the server did not say where it listens"

# get PATH: the body of an HTTP GET to the server, over bash's own TCP.
get() {
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
  sed '1,/^\r$/d' <&3
  exec 3<&-
}
[[ "$(get '/messenger/n.php?u=unit@example.com&p=secret')" == $'OK\r' ]] || fail "n.php did not register a user"
[[ "$(get '/messenger/c.php?u=unit@example.com&p=secret&ip=10.9.8.7&port=4321')" == OK* ]] || fail "c.php refused the login"
# With the unit's options the directory keeps the address the login came from.
[[ "$(get '/messenger/g.php?u=unit@example.com&n=1' | head -1)" == $'127.0.0.1\r' ]] \
  || fail "the directory kept the address the messenger sent, not the one it saw"
[[ -f "$state/directory.db" ]] || fail "no database in the state folder"
if [[ ${#as_account[@]} -gt 0 ]]; then
  [[ "$(stat -c %u "$state/directory.db")" == "$uid" ]] || fail "the database does not belong to the service account"
fi

echo "the unit's command line serves on 127.0.0.1:$port with its database in the state folder"
