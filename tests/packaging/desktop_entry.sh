# The installed menu entry is valid for freedesktop menus, and what it names is installed:
# the program it starts and the icon it shows.
source "$(dirname "$0")/common.sh"

prefix="$work/prefix"
install_into "$prefix"
entry="$prefix/share/applications/sorvane-messenger.desktop"

command -v desktop-file-validate >/dev/null \
  || skip "desktop-file-validate is missing (Debian package desktop-file-utils)"
report=$(desktop-file-validate "$entry" 2>&1) || { echo "$report" >&2; fail "desktop-file-validate refuses the entry"; }
# Hints are advice, but an entry this small has no reason to draw any.
[[ -z "$report" ]] || { echo "$report" >&2; fail "desktop-file-validate has remarks"; }

key() { sed -n "/^\[Desktop Entry\]/,/^\[/s/^$1=//p" "$entry"; }

[[ "$(key Type)" == Application ]] || fail "Type is '$(key Type)'"
[[ "$(key Name)" == "Sorvane Messenger" ]] || fail "Name is '$(key Name)'"
categories=";$(key Categories)"
for category in Network InstantMessaging Chat; do
  [[ "$categories" == *";$category;"* ]] || fail "Categories '$(key Categories)' lack $category"
done

# Exec names a program found on the PATH of an installation into this prefix.
exec_line=$(key Exec)
program=${exec_line%% *}
[[ "$program" != */* ]] || fail "Exec names a path ($program); menus find programs on PATH"
PATH="$prefix/bin" command -v "$program" >/dev/null || fail "Exec names '$program', which is not installed in bin/"

# Icon is a theme name that the hicolor theme of this prefix resolves, scalable and small.
icon=$(key Icon)
[[ "$icon" != */* && "$icon" != *.* ]] || fail "Icon '$icon' should be a theme name, not a file"
[[ -f "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ]] || fail "no scalable icon '$icon' installed"
for size in 16 32 48; do
  [[ -f "$prefix/share/icons/hicolor/${size}x${size}/apps/$icon.png" ]] || fail "no ${size}px icon '$icon' installed"
done

# The window's class matches the entry, so docks group the running program under it.
[[ "$(key StartupWMClass)" == "$program" ]] || fail "StartupWMClass is not '$program'"

echo "desktop entry valid; starts $program with icon $icon"
