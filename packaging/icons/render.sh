#!/usr/bin/env bash
# Renders the application icon into the PNG sizes of the hicolor theme (needs librsvg2-bin).
# The PNGs are kept in the repository, so building needs no renderer; run this after changing
# palvara.svg.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" palvara.svg --output "palvara-$size.png"
done
