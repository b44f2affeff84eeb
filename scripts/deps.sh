#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/deps.sh run|test|bench (bench: test and the peers make bench times)
set -euo pipefail
want=(build-essential cmake pkg-config libgtest-dev qt6-base-dev qt6-translations-l10n fonts-ipafont-gothic
      libjpeg-turbo-progs)
if [ "${1:-run}" = bench ]; then
  want+=(jpegoptim)
  set -- test
fi
if [ "${1:-run}" = test ]; then
  want+=(jpeginfo imagemagick libimage-exiftool-perl libbenchmark-dev xvfb xauth
        clang libclang-rt-14-dev libjpeg-dev bc)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
