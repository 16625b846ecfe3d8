#!/bin/sh
# Makes the test faxes of this folder: bilevel TIFF files with T.4 one-dimensional
# (Modified Huffman) coding, LSB-first fill order and fax resolutions, one file per fax.
# Needs ImageMagick 6 (convert-im6.q16), libtiff-tools (tiffcp) and the DejaVu fonts.
# The output is deterministic: the "scanned" page uses a fixed random seed.
set -eu
cd "$(dirname "$0")"
IM=/usr/bin/convert-im6.q16
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# text_page OUT WIDTH HEIGHT YDPI POINTSIZE TITLE
text_page() {
    out=$1 w=$2 h=$3 ydpi=$4 pt=$5 title=$6
    body=""
    i=1
    while [ $i -le 14 ]; do
        body="$body
$i. The quick brown fox jumps over the lazy dog 0123456789"
        i=$((i + 1))
    done
    $IM -size "${w}x${h}" xc:white -font "$FONT" -fill black \
        -pointsize $((pt * 2)) -annotate +80+160 "$title" \
        -pointsize "$pt" -annotate +80+260 "$body" \
        -draw "rectangle 40,40 $((w - 40)),46" \
        -draw "rectangle 40,$((h - 46)) $((w - 40)),$((h - 40))" \
        -monochrome -density "204x$ydpi" -units PixelsPerInch \
        -compress Fax "$tmp/$out"
}

# Fine (196 lines per inch) and standard (98 lines per inch) single pages, A4 length.
text_page fine_p1.tif 1728 2200 196 28 "Quillon test fax - fine - page 1 of 1"
text_page std_p1.tif 1728 1100 98 28 "Quillon test fax - standard - page 1"
# A three-page fax at fine resolution; shorter pages keep a real-time call short.
text_page three_p1.tif 1728 1200 196 28 "Three-page fax - page 1 of 3"
text_page three_p2.tif 1728 1200 196 28 "Three-page fax - page 2 of 3"
text_page three_p3.tif 1728 1200 196 28 "Three-page fax - page 3 of 3"
# A wide page: 2048 pixels (B4 width), standard resolution.
text_page wide_p1.tif 2048 900 98 32 "Wide 2048-pixel test page"
# A dense page with a scanned look: dithered grey noise and text, fine resolution.
$IM -size 1728x600 -seed 4242 plasma:grey80-grey95 -colorspace Gray -blur 0x6 \
    -font "$FONT" -fill black -pointsize 64 -annotate +80+200 "Scanned-look dense page" \
    -ordered-dither h6x6a -monochrome "$tmp/dense.pbm"
$IM "$tmp/dense.pbm" -density 204x196 -units PixelsPerInch -compress Fax "$tmp/dense_p1.tif"

# Normalise: T.4 1D coding (no 2D, no fill bits), LSB-first bit order, one strip per page.
norm() {
    out=$1
    shift
    tiffcp -c g3:1d -f lsb2msb -r 100000 "$@" "$out"
}
norm text_fine_1p.tif "$tmp/fine_p1.tif"
norm text_std_1p.tif "$tmp/std_p1.tif"
norm text_fine_3p.tif "$tmp/three_p1.tif" "$tmp/three_p2.tif" "$tmp/three_p3.tif"
norm wide_2048_1p.tif "$tmp/wide_p1.tif"
norm dense_scan_1p.tif "$tmp/dense_p1.tif"
