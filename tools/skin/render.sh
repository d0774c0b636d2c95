#!/usr/bin/env bash
# Renders the installer skin from src/ui/skin/svg into src/ui/skin/png and
# src/ui/skin/icon/kelo.ico, shrinks the PNGs and checks every size.
#
# Needs rsvg-convert (librsvg2-bin), fc-list (fontconfig), pngquant, optipng,
# python3 and the "WenQuanYi Micro Hei" font (fonts-wqy-microhei): the committed
# PNGs are their output, and without the shrinking tools a run would give other
# bytes.  The rendered files are committed, so building the program never needs
# any of this, and the set-up commands do not install it.
#
# Usage: tools/skin/render.sh        (from anywhere; re-runnable)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
skin="$root/src/ui/skin"
svg="$skin/svg"
out="$skin/png"
ico="$skin/icon/kelo.ico"
budget=$((220 * 1024))   # PNGs + icon, bytes

# id  width  height  (frames are stacked vertically inside the height)
images="
129 113 113
130 600 400
131 34 63
132 85 78
133 113 113
134 172 153
135 24 57
136 600 400
139 15 90
140 77 84
145 115 91
147 172 51
148 5 5
149 172 51
150 119 108
151 85 78
152 499 28
"

die() { echo "render.sh: $*" >&2; exit 1; }

for need in rsvg-convert:librsvg2-bin fc-list:fontconfig pngquant:pngquant optipng:optipng python3:python3; do
  command -v "${need%%:*}" >/dev/null || die "${need%%:*} not found (apt-get install ${need#*:})"
done
fc-list | grep "WenQuanYi Micro Hei" >/dev/null \
  || die "font 'WenQuanYi Micro Hei' not found (apt-get install fonts-wqy-microhei)"

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out" "$(dirname "$ico")"

shrink() {  # shrink PNG in place
  local f="$1"
  # exit 98/99: quantising would not save space or not reach the quality; keep
  # the full-colour file then.
  pngquant --quality=80-98 --speed 1 --strip --force --output "$f.q" -- "$f" \
    && mv "$f.q" "$f" || rm -f "$f.q"
  optipng -quiet -o5 -strip all "$f"
}

tools="$root/tools/skin/skin_tools.py"

# Everything is rendered and checked in $tmp first: the committed skin changes only once all
# of it passes.
rendered=()

# 1. skin images
while read -r id w h; do
  [ -n "$id" ] || continue
  src=( "$svg/${id}"_*.svg )
  [ ${#src[@]} = 1 ] && [ -f "${src[0]}" ] || die "need exactly one $svg/${id}_*.svg"
  rsvg-convert -w "$w" -h "$h" -o "$tmp/$id.png" "${src[0]}"
  shrink "$tmp/$id.png"
  python3 "$tools" size "$tmp/$id.png" "$w" "$h"
  rendered+=("$tmp/$id.png")
done <<<"$images"

# no stale images left over from a removed SVG
for f in "$out"/*.png; do
  id="$(basename "$f" .png)"
  grep -q "^$id " <<<"$images" || die "$f has no entry in the image table"
done

# 2. program icon: 256 and 48 px from the full mascot, 32 and 16 px from the
#    simplified head.  Kept as full RGBA (no palette reduction): the small
#    sizes become 32-bit DIB entries, 256 px stays a PNG entry.
for s in 256 48; do rsvg-convert -w $s -h $s -o "$tmp/icon$s.png" "$svg/kelo_icon.svg"; done
for s in 32 16;  do rsvg-convert -w $s -h $s -o "$tmp/icon$s.png" "$svg/kelo_icon_small.svg"; done
for s in 256 48 32 16; do
  optipng -quiet -o5 -nx -strip all "$tmp/icon$s.png"
  python3 "$tools" size "$tmp/icon$s.png" $s $s
done
python3 "$tools" ico "$tmp/kelo.ico" "$tmp"/icon16.png "$tmp"/icon32.png "$tmp"/icon48.png "$tmp"/icon256.png

# 3. the grey bands must be exactly the colour the program paints next to them
#    (in the expanded view it fills the rows below the image with it).
band=eef1f4
python3 "$tools" band "$tmp/130.png" 371 $band
python3 "$tools" band "$tmp/136.png" 306 $band

total=$(cat "${rendered[@]}" "$tmp/kelo.ico" | wc -c)
echo "render.sh: ${#rendered[@]} PNGs + kelo.ico = $total bytes (budget $budget)"
[ "$total" -le "$budget" ] || die "skin is $total bytes, over the $budget byte budget"
cp "${rendered[@]}" "$out/"
cp "$tmp/kelo.ico" "$ico"
