#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the checkers and the packaging need.
# Idempotent: asks apt only for what is missing, and runs apt-get update only then.
#
#   install-deps.sh [--checkers DIR]
#
# With --checkers, also the third independent reader the tests compare our stores with:
# pst-extractor 1.12.0 from the npm registry, into DIR/node_modules (with Debian's nodejs and
# npm when the machine has no node or npm of its own).
set -euo pipefail

checkers=""
while [ $# -gt 0 ]; do
  case "$1" in
    --checkers) checkers="${2:?--checkers needs a folder}"; shift 2 ;;
    *) echo "install-deps.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
readonly kThirdReader="pst-extractor@1.12.0"

packages=(
  cmake ninja-build g++ make pkg-config
  clang libclang-rt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  pst-utils pff-tools bc ccache
  dpkg-dev lintian desktop-file-utils appstream shared-mime-info man-db groff-base
  libmimalloc-dev zlib1g-dev
  python3 python3-vobject python3-icalendar mutt
  qt6-base-dev xvfb xauth openbox xdotool qt6-gtk-platformtheme
  fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ -n "$checkers" ]; then
  command -v node >/dev/null 2>&1 || missing+=(nodejs)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ -n "$checkers" ]; then
  installed="$checkers/node_modules/pst-extractor/package.json"
  if ! grep -q '"version": "1.12.0"' "$installed" 2>/dev/null; then
    echo "Installing $kThirdReader into $checkers"
    mkdir -p "$checkers"
    [ -f "$checkers/package.json" ] || echo '{"private": true}' > "$checkers/package.json"
    npm install --prefix "$checkers" --save-exact --no-audit --no-fund --loglevel=error "$kThirdReader"
  fi
fi
