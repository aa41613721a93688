#!/usr/bin/env bash
# Draws Ostrel.ico, the applet's group icon 2, from tower.svg: images of 16,
# 32, 48 and 64 pixels, each at 4 bits per pixel (16 colours), 8 bits per
# pixel (256 colours) and 32 bits per pixel (true colour with alpha).
# Needs ImageMagick (Debian: imagemagick) and python3. The result is kept in
# the repository, so the build does not need either; run this after
# changing tower.svg and commit both:   applet/res/make-icon.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for size in 16 32 48 64; do
  convert -background none tower.svg -resize "${size}x${size}" -depth 8 "$work/$size.png"
done
# ImageMagick writes a palette image of at most 16 colours at 4 bits per
# pixel and one of at most 256 at 8 bits; no dithering keeps the small
# images crisp. The quantizing has to happen in the command that writes the
# icon: a palette read back from a file with alpha becomes true colour.
args=()
for colours in 16 256; do
  for size in 16 32 48 64; do
    args+=("(" "$work/$size.png" +dither -colors "$colours" ")")
  done
done
for size in 16 32 48 64; do
  args+=("$work/$size.png")
done
convert "${args[@]}" Ostrel.ico

# Check that every image has the size and depth asked for.
python3 - Ostrel.ico <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
_, kind, count = struct.unpack('<HHH', data[:6])
assert kind == 1, 'not an icon'
found = []
for i in range(count):
    w, h, _, _, _, bits, _, _ = struct.unpack('<BBBBHHII', data[6 + 16 * i:22 + 16 * i])
    found.append((w or 256, bits))
want = [(s, d) for d in (4, 8, 32) for s in (16, 32, 48, 64)]
assert found == want, f'images {found}, wanted {want}'
print(f'Ostrel.ico: {count} images', ' '.join(f'{s}px/{d}bpp' for s, d in found))
PY
