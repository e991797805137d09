#!/usr/bin/env bash
# Fails, naming file, line and rule, when a folder includes what its layer must not see:
#   engine/                   nothing of ui/, forms/, app/, no ui_*.h, no QtWidgets, QtGui, QtDBus
#   net/, directory/, server/ no Qt at all
#   ui/                       nothing of forms/ or engine/
# A quoted include is judged by the file it names (next to the includer, else from the top of
# the tree); an angle include by the Qt module that has a header of that name.
# Usage: check_layers.sh SOURCE_ROOT QT_HEADERS
# With --self-test, also proves on a scratch tree that each rule catches what it should.
set -uo pipefail

root=$1
qt=$2

# The Qt module of every header name Qt has: QtWidgets for QWidget.
declare -A module_of
for dir in "$qt"/Qt*/; do
  module=$(basename "$dir")
  for header in "$dir"*; do
    module_of[${header##*/}]=$module
  done
done

# The Qt module of an angle include, in REPLY: QtWidgets for <QtWidgets/QWidget> and <QWidget>.
qt_module() {
  if [[ $1 == Qt*/* ]]; then
    REPLY=${1%%/*}
  else
    REPLY=${module_of[$1]:-}
  fi
}

# The folder of the tree (first path component) that a quoted include names, in REPLY.
tree_folder() {
  local includer=$1 name=$2 path part
  local -a kept=()
  for path in "${includer%/*}/$name" "$root/$name"; do
    [[ -e $path ]] || continue
    # The path below the root, with "." and ".." taken away.
    path=${path#"$root"/}
    IFS=/ read -ra parts <<<"$path"
    for part in "${parts[@]}"; do
      case $part in
      . | "") ;;
      ..) unset 'kept[-1]' ;;
      *) kept+=("$part") ;;
      esac
    done
    REPLY=${kept[0]:-}
    return
  done
  REPLY=${name%%/*} # not found: its first component says where it claims to be
}

failures=0
fail() {
  echo "$1: $2"
  failures=$((failures + 1))
}

# check FOLDER FORBIDDEN_FOLDERS FORBIDDEN_QT_MODULES (space-separated; "any" = every Qt module)
check() {
  local folder=$1 folders=$2 modules=$3 file line name kind close where f m
  [[ -d $root/$folder ]] || return 0
  while IFS= read -r -d '' file; do
    while IFS= read -r line; do
      [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]+) ]] || continue
      kind=${BASH_REMATCH[1]}
      name=${BASH_REMATCH[2]}
      [[ $kind == '"' ]] && close='"' || close='>'
      where="${file#"$root"/}: #include $kind$name$close"
      if [[ $folder == engine && ${name##*/} == ui_*.h ]]; then
        fail "$where" "engine/ uses no window layout"
        continue
      fi
      if [[ $kind == '"' ]]; then
        tree_folder "$file" "$name"
        for f in $folders; do
          [[ $REPLY == "$f" ]] && fail "$where" "$folder/ must not include $f/"
        done
      fi
      qt_module "$name"
      for m in $modules; do
        [[ -n $REPLY && ($m == any || $m == "$REPLY") ]] && fail "$where" "$folder/ must not use $REPLY"
      done
    done <"$file"
  done < <(find "$root/$folder" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
}

check_all() {
  check engine "ui forms app" "QtWidgets QtGui QtDBus"
  check net "" any
  check directory "" any
  check server "" any
  check ui "forms engine" ""
}

if [[ ${3:-} == --self-test ]]; then
  # Each rule must catch a planted include.
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch"/{engine,net,ui,forms}
  printf '#include "forms/main.h"\n#include <QWidget>\n#include "ui_message.h"\n' >"$scratch/engine/a.cpp"
  printf '#include <QString>\n' >"$scratch/net/a.h"
  printf '#include "../engine/a.h"\n' >"$scratch/ui/a.cpp"
  touch "$scratch/forms/main.h" "$scratch/engine/a.h"
  real_root=$root
  root=$scratch
  check_all >/dev/null
  [[ $failures -eq 5 ]] || { echo "self-test: $failures of 5 planted includes caught"; exit 1; }
  root=$real_root
  failures=0
fi

check_all
[[ $failures -eq 0 ]] || { echo "$failures includes cross their layer"; exit 1; }
echo "every folder includes only what its layer may"
