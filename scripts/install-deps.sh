#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the checkers and the packaging need.
# Idempotent: asks apt only for what is missing, and runs apt-get update only then.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  pst-utils pff-tools bc ccache
  dpkg-dev lintian desktop-file-utils appstream shared-mime-info man-db groff-base
  libmimalloc-dev
  python3 python3-vobject python3-icalendar mutt
  qt6-base-dev xvfb xauth
  fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
