# The manuals: each installed one is found by man, renders without complaint, and the
# server's manual and --help describe every option the server accepts.
source "$(dirname "$0")/common.sh"

prefix="$work/prefix"
install_into "$prefix"
server="$prefix/bin/sorvane-directory"
declare -A manual=(
  [sorvane-messenger]="$prefix/share/man/man1/sorvane-messenger.1"
  [sorvane-directory]="$prefix/share/man/man8/sorvane-directory.8"
)

# --- rendering --------------------------------------------------------------------------
if command -v groff >/dev/null; then
  for page in "${manual[@]}"; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [[ -z "$warnings" ]] || { echo "$warnings" >&2; fail "groff warns about ${page#"$prefix"/}"; }
  done
else
  echo "groff is missing (Debian package groff-base); manuals not rendered"
fi
if command -v man >/dev/null && man --help 2>&1 | grep -q -- '--where'; then
  for name in "${!manual[@]}"; do
    found=$(MANPATH="$prefix/share/man" man --where "$name" 2>/dev/null) || fail "man does not find $name in the installed manuals"
    [[ "$found" == "${manual[$name]}"* ]] || fail "man finds $name at $found"
  done
fi

# Plain text of a manual, as a reader sees it.
text_of() {
  if command -v groff >/dev/null; then
    # Long lines and no hyphenation keep every option name on one line.
    groff -man -Tutf8 -rLL=300n -rHY=0 -P-cbou "$1" 2>/dev/null
  else
    sed 's/\\-/-/g; s/\\f[BIRP]//g; s/^\.SH //' "$1"
  fi
}
# section NAME: that section of a plain-text manual on standard input.
section() { awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name) } inside'; }
server_manual=$(text_of "${manual[sorvane-directory]}")

# --- options -----------------------------------------------------------------------------
help=$("$server" --help) || fail "sorvane-directory --help failed"
help_options=$(grep -oE '^ +--[a-z][a-z-]*' <<<"$help" | tr -d ' ' | sort -u)
[[ -n "$help_options" ]] || fail "--help lists no options"

# The options of the server's own command-line parser.
parser="$SORVANE_SOURCE_DIR/server/args.cpp"
parsed_options=$(grep -oE 'arg == "--[a-z][a-z-]*"' "$parser" | grep -oE -- '--[a-z-]+' | sort -u)
[[ -n "$parsed_options" ]] || fail "found no options in $parser; this check reads its 'arg == \"--name\"' tests"

for option in $parsed_options; do
  grep -qx -- "$option" <<<"$help_options" || fail "--help does not describe $option"
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$server_manual" || fail "the manual does not describe $option"
done
# Nothing documented that the program does not know.
documented=$( (echo "$help_options"
               { section SYNOPSIS <<<"$server_manual"; section OPTIONS <<<"$server_manual"; } \
                 | grep -oE -- '(^|[ [])--[a-z][a-z-]*' | grep -oE -- '--[a-z-]+') | sort -u)
grep -qx -- --listen <<<"$documented" || fail "found no options in the manual's SYNOPSIS and OPTIONS"
for option in $documented; do
  grep -qx -- "$option" <<<"$parsed_options" || fail "$option is documented but the server does not take it"
  # and the installed program agrees.
  if "$server" --help "$option" 2>&1 >/dev/null | grep -q "unknown argument"; then
    fail "the installed server refuses $option"
  fi
done

# The manual's defaults agree with the ones --help states.
grep -q '127\.0\.0\.1:8642' <<<"$help" || fail "--help does not state the default address"
grep -q '127\.0\.0\.1:8642' <<<"$server_manual" || fail "the manual does not state the default address"

# The messenger's manual names the directory this build asks.
messenger_manual=$(text_of "${manual[sorvane-messenger]}")
grep -qF -- "${SORVANE_DIRECTORY_BASE:?}" <<<"$messenger_manual" || fail "the messenger's manual does not name $SORVANE_DIRECTORY_BASE"

echo "manuals render; options documented: $(echo $parsed_options)"
