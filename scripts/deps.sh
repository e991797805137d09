#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and `make run` need.
# Does nothing (and needs no network) when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools
  libcurl4-openssl-dev
  libcpp-httplib-dev libsqlite3-dev libcrypt-dev
  libmicrohttpd-dev libgnutls28-dev libicu-dev
  libpq-dev postgresql postgresql-contrib nginx-light libsodium-dev
  libgtest-dev libgmock-dev
  xvfb xauth
  xdotool desktop-file-utils
  clang-format
  iproute2 openssl tcpdump nftables curl
  dbus-daemon
)
# Extra groups, asked for by name: `scripts/deps.sh bench fuzz desktop`.
for group in "$@"; do
  case "$group" in
    bench) packages+=(libbenchmark-dev libx11-dev libxtst-dev python3) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    desktop) packages+=(xdotool imagemagick trayer x11-utils) ;;
    package) packages+=(dpkg-dev systemd) ;;
    *) echo "deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "deps.sh: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
