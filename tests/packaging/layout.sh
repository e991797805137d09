# `cmake --install --prefix` lays out the programs, the menu entry, the icons in the
# hicolor theme, the manuals, the service unit and the example nginx site, and nothing else.
source "$(dirname "$0")/common.sh"

prefix="$work/prefix"
install_into "$prefix"

icon_sizes=(16 32 48 64 128 256)
expected=(
  bin/sorvane-directory
  bin/sorvane-messenger
  etc/default/sorvane-directory
  etc/xdg/sorvane-messenger/sorvane-messenger.conf
  lib/systemd/system/sorvane-directory.service
  share/applications/sorvane-messenger.desktop
  share/doc/sorvane-directory/examples/nginx-site.conf
  share/icons/hicolor/scalable/apps/sorvane-messenger.svg
  share/man/man1/sorvane-messenger.1
  share/man/man8/sorvane-directory.8
)
for size in "${icon_sizes[@]}"; do
  expected+=("share/icons/hicolor/${size}x${size}/apps/sorvane-messenger.png")
done

actual=$(cd "$prefix" && find . \( -type f -o -type l \) -printf '%P\n' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [[ "$actual" != "$wanted" ]]; then
  diff <(echo "$wanted") <(echo "$actual") >&2 || true
  fail "installed files differ from the layout above (< missing, > unexpected)"
fi

for program in sorvane-messenger sorvane-directory; do
  [[ "$(stat -c %a "$prefix/bin/$program")" == 755 ]] || fail "bin/$program is not mode 755"
  file_type=$(head -c 4 "$prefix/bin/$program" | od -An -c | tr -d ' ')
  [[ "$file_type" == '177ELF' ]] || fail "bin/$program is not a program"
done
while read -r data; do
  [[ "$(stat -c %a "$prefix/$data")" == 644 ]] || fail "$data is not mode 644"
done < <(printf '%s\n' "${expected[@]}" | grep -v '^bin/')

# Each PNG has the size of the theme folder it sits in; a desktop shows a wrong-sized
# icon blurred or not at all.
for size in "${icon_sizes[@]}"; do
  png="$prefix/share/icons/hicolor/${size}x${size}/apps/sorvane-messenger.png"
  signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
  [[ "$signature" == 89504e470d0a1a0a ]] || fail "$png is not a PNG"
  read -r w0 w1 w2 w3 h0 h1 h2 h3 < <(od -An -tu1 -j16 -N8 "$png")
  width=$(( (w0 << 24) | (w1 << 16) | (w2 << 8) | w3 ))
  height=$(( (h0 << 24) | (h1 << 16) | (h2 << 8) | h3 ))
  [[ "$width" == "$size" && "$height" == "$size" ]] \
    || fail "${size}x${size}/apps/sorvane-messenger.png is ${width}x${height}"
done

# The scalable icon is an SVG document with a square view box.
svg="$prefix/share/icons/hicolor/scalable/apps/sorvane-messenger.svg"
grep -Eq '<svg[^>]*viewBox="0 0 ([0-9.]+) \1"' "$svg" || fail "the scalable icon has no square viewBox"

# The settings files are the commented examples of the source tree.
cmp -s "$prefix/etc/xdg/sorvane-messenger/sorvane-messenger.conf" "$SORVANE_SOURCE_DIR/packaging/sorvane-messenger.conf" \
  || fail "the installed messenger settings differ from packaging/sorvane-messenger.conf"
cmp -s "$prefix/etc/default/sorvane-directory" "$SORVANE_SOURCE_DIR/packaging/sorvane-directory.default" \
  || fail "the installed service options differ from packaging/sorvane-directory.default"

# The unit starts the program this installation put in place.
exec_start=$(sed -n 's/^ExecStart=//p' "$prefix/lib/systemd/system/sorvane-directory.service")
[[ "${exec_start%% *}" == "$prefix/bin/sorvane-directory" ]] \
  || fail "the unit's ExecStart '$exec_start' does not start $prefix/bin/sorvane-directory"

echo "installed layout as expected under $prefix"
