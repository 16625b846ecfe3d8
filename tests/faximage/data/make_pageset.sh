#!/bin/bash
# Renders the fax page set used by the decoder tests and the benchmark, as raw PBM files
# (1 = black) in OUTDIR. Everything is generated from fixed inputs and seeds, so the set
# is the same on every run with the same ghostscript and ImageMagick:
#   text_fine.pbm   1728 x 2292 text page at 204 x 196 dpi (ghostscript)
#   text_std.pbm    1728 x 1146 the same page at 204 x 98 dpi
#   halftone.pbm    1728 x 2292 ordered-dither halftone of a plasma image (ImageMagick)
#   photo_fs.pbm    1728 x 2292 Floyd-Steinberg dither of the same image
#   noise.pbm       1728 x 2292 50 % random noise
#   white.pbm       1728 x 1146 blank page
set -euo pipefail
out=${1:?usage: make_pageset.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
# /usr/local/bin/convert may be a stand-in on these machines: name ImageMagick 6 directly.
im=/usr/bin/convert-im6.q16
[ -x "$im" ] || im=$(command -v convert)

gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pbmraw -r204x196 -g1728x2292 \
    -sOutputFile="$out/text_fine.pbm" "$here/text_page.ps"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pbmraw -r204x98 -g1728x1146 \
    -sOutputFile="$out/text_std.pbm" "$here/text_page.ps"
"$im" -seed 7 -size 432x573 plasma:grey30-grey80 -colorspace Gray -resize 1728x2292! \
    "$out/photo.pgm"
"$im" "$out/photo.pgm" -ordered-dither h8x8a -monochrome "$out/halftone.pbm"
"$im" "$out/photo.pgm" -dither FloydSteinberg -monochrome "$out/photo_fs.pbm"
"$im" -seed 3 -size 1728x2292 xc:gray50 +noise Random -colorspace Gray -threshold 50% \
    -monochrome "$out/noise.pbm"
"$im" -size 1728x1146 xc:white -monochrome "$out/white.pbm"
rm -f "$out/photo.pgm"
touch "$out/stamp"
