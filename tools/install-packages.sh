#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet
# (as root, or with sudo). Idempotent: with everything present it only says so.
# Usage: bash tools/install-packages.sh LABEL PACKAGE...
set -euo pipefail

label="$1"
shift
missing=()
for p in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "$label: all packages present"
  exit 0
fi
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
echo "$label: installing ${missing[*]}"
$sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq </dev/null
$sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
  --no-install-recommends "${missing[@]}" </dev/null
