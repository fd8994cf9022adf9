#!/usr/bin/env bash
# Installs the Debian packages that building and testing Quarnel needs.
# Idempotent and quick when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  googletest libgtest-dev
  liblog4cpp5-dev libboost-dev libboost-system-dev
  libbenchmark-dev librandom123-dev libsqlite3-dev libcereal-dev zlib1g-dev
  libopenmpi-dev openmpi-bin python3-pandas python3-matplotlib
  gnuplot-nox libcpp-httplib-dev chromium
)

# One query for all of them: a query per package took over a minute on a busy machine.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
  awk '/ install ok installed$/ { print $1 }' || true)
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p" <<<"$installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
