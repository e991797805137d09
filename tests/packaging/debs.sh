# CPack makes the two Debian packages: each holds its own files under /usr, the
# dependencies the programs need at run time, and (the server) the maintainer scripts.
source "$(dirname "$0")/common.sh"

: "${CPACK_COMMAND:?}"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is missing; this is not a Debian system"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps is missing (Debian package dpkg-dev)"

out="$work/packages"
"$CPACK_COMMAND" --config "$SORVANE_BUILD_DIR/CPackConfig.cmake" -B "$out" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log" >&2; fail "cpack failed"; }

arch=$(dpkg --print-architecture)
debs=$(cd "$out" && ls -1 ./*.deb | sed 's|^\./||' | sort)
version=$(dpkg-deb -f "$out/sorvane-messenger_"*"_$arch.deb" Version 2>/dev/null || true)
[[ -n "$version" ]] || { echo "$debs" >&2; fail "no sorvane-messenger package for $arch"; }
[[ "$debs" == "sorvane-directory_${version}_$arch.deb"$'\n'"sorvane-messenger_${version}_$arch.deb" ]] \
  || { echo "$debs" >&2; fail "cpack made other packages than sorvane-directory and sorvane-messenger"; }
messenger="$out/sorvane-messenger_${version}_$arch.deb"
directory="$out/sorvane-directory_${version}_$arch.deb"

files_of() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort; }
expect_files() {
  local deb=$1; shift
  local wanted; wanted=$(printf '%s\n' "$@" | sort)
  local actual; actual=$(files_of "$deb")
  [[ "$actual" == "$wanted" ]] || { diff <(echo "$wanted") <(echo "$actual") >&2 || true; fail "${deb##*/} holds other files (< missing, > extra)"; }
}
expect_files "$messenger" \
  /etc/xdg/sorvane-messenger/sorvane-messenger.conf \
  /usr/bin/sorvane-messenger \
  /usr/share/applications/sorvane-messenger.desktop \
  /usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/sorvane-messenger.png \
  /usr/share/icons/hicolor/scalable/apps/sorvane-messenger.svg \
  /usr/share/man/man1/sorvane-messenger.1
expect_files "$directory" \
  /etc/default/sorvane-directory \
  /usr/bin/sorvane-directory \
  /usr/lib/systemd/system/sorvane-directory.service \
  /usr/share/doc/sorvane-directory/examples/nginx-site.conf \
  /usr/share/man/man8/sorvane-directory.8

# Both programs are owned by root and stripped; the build tree keeps the debug information.
listing=$(dpkg-deb -c "$messenger"; dpkg-deb -c "$directory")
grep -E '\./usr/bin/[^/]+$' <<<"$listing" | grep -vq '^-rwxr-xr-x root/root ' && fail "a program is not root's, mode 755"
mkdir "$work/x"
dpkg-deb -x "$messenger" "$work/x"
dpkg-deb -x "$directory" "$work/x"
for program in sorvane-messenger sorvane-directory; do
  if readelf -S "$work/x/usr/bin/$program" 2>/dev/null | grep -q '\.debug_info'; then
    fail "the packaged $program carries debug information"
  fi
done

# In the package the unit starts the program where the package puts it.
grep -qx 'ExecStart=/usr/bin/sorvane-directory .*' "$work/x/usr/lib/systemd/system/sorvane-directory.service" \
  || fail "the packaged unit does not start /usr/bin/sorvane-directory"

# Run-time dependencies: a machine with only these installed runs the programs.
depends() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//'; }
for needed in libqt6widgets6 libqt6gui6 libqt6core6 libcurl4 libc6; do
  depends "$messenger" | grep -qx "$needed" || fail "sorvane-messenger does not depend on $needed"
done
for needed in libsqlite3-0 libcrypt1 adduser libc6; do
  depends "$directory" | grep -qx "$needed" || fail "sorvane-directory does not depend on $needed"
done
# Every shared library a program links belongs to a package it depends on.
owner_of() {  # the package of a library file, looked up under both names of a merged /usr
  local path
  for path in "$1" "$(realpath "$1")" "$(realpath "$1" | sed 's|^/usr/lib/|/lib/|')"; do
    dpkg -S "$path" 2>/dev/null | head -1 | cut -d: -f1 && return
  done
}
for pair in "sorvane-messenger:$messenger" "sorvane-directory:$directory"; do
  program=${pair%%:*} deb=${pair#*:}
  binary="$work/x/usr/bin/$program"
  resolved=$(ldd "$binary")
  for library in $(readelf -d "$binary" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    # ldd names the dynamic loader by its path alone (a program that uses a thread-local of the
    # C++ runtime links it); the others as "name => path".
    path=$(awk -v lib="$library" '$1 == lib && $3 ~ /^\// { print $3 } $1 ~ "/" lib "$" { print $1 }' <<<"$resolved")
    [[ -n "$path" ]] || fail "$program needs $library, which is not on this machine"
    owner=$(owner_of "$path")
    [[ -n "$owner" ]] || continue
    depends "$deb" | grep -qx "$owner" || fail "$program links $library of $owner, which its package does not depend on"
  done
done

# The server's maintainer scripts: present, executable, valid shell.
control="$work/control"
mkdir "$control"
dpkg-deb -e "$directory" "$control"
for script in postinst prerm postrm; do
  [[ -x "$control/$script" ]] || fail "sorvane-directory has no executable $script"
  sh -n "$control/$script" || fail "$script is not valid shell"
done
grep -q 'adduser --system' "$control/postinst" || fail "postinst creates no system account"
mkdir "$work/control-m"
dpkg-deb -e "$messenger" "$work/control-m"
scripts=$(find "$work/control-m" -type f ! -name control ! -name md5sums ! -name conffiles -printf '%f ')
[[ -z "$scripts" ]] || fail "sorvane-messenger has maintainer scripts: $scripts"

# dpkg keeps an administrator's changes to the settings in /etc over upgrades.
[[ "$(cat "$work/control-m/conffiles" 2>/dev/null)" == /etc/xdg/sorvane-messenger/sorvane-messenger.conf ]] \
  || fail "sorvane-messenger does not list its settings file as a conffile"
[[ "$(cat "$control/conffiles" 2>/dev/null)" == /etc/default/sorvane-directory ]] \
  || fail "sorvane-directory does not list its options file as a conffile"

echo "packages: ${debs//$'\n'/, }"
