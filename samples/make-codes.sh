#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Draws the sample label's two codes with zint and prints them as the PostScript arrays that
# shipping-label.ps keeps, so that its build needs nothing but Ghostscript: the tracking number as a
# Code 128 symbol (each bar's left edge and width, in modules) and its web address as a QR code of
# error correction level M (each run of dark modules in a row: left, bottom, width and height, in
# modules, from the symbol's bottom left corner). Run it again only to change what they hold:
#   samples/make-codes.sh [TRACKING-NUMBER [TEXT]]
set -euo pipefail
tracking=${1:-7126081226558174}
text=${2:-https://example.com/t/$tracking}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
zint --barcode=20 --notext --scale=0.5 --filetype=eps -d "$tracking" -o "$work/tracking.eps" >/dev/null
zint --barcode=58 --secure=2 --scale=0.5 --filetype=eps -d "$text" -o "$work/qr.eps" >/dev/null

# zint's EPS fills each dark rectangle as "height bottom TB left width TR" after setting black; at a
# scale of 0.5 its unit is one module.
rectangles() { # FILE FIELDS: the dark rectangles' fields, eight to a line
  awk -v fields="$2" '
    /setrgbcolor/ { dark = ($1 == 0 && $2 == 0 && $3 == 0) }
    / TR$/ && dark {
      line = line (line == "" ? "" : " ") (fields == 2 ? sprintf("%g %g", $4, $5) : sprintf("%g %g %g %g", $4, $2, $5, $1))
      if (++n % 8 == 0) { print "  " line; line = "" }
    }
    END { if (line != "") print "  " line }' "$1"
}
size() { sed -n 's/^%%BoundingBox: 0 0 \([0-9]*\) \([0-9]*\)$/\1 \2/p' "$1"; }

echo "% Code 128 of ($tracking), $(size "$work/tracking.eps" | cut -d' ' -f1) modules wide: left width of each bar"
echo "/trackingbars ["
rectangles "$work/tracking.eps" 2
echo "] def"
echo "% QR code, level M, of ($text), $(size "$work/qr.eps" | cut -d' ' -f1) modules square: left bottom width height"
echo "/qrruns ["
rectangles "$work/qr.eps" 4
echo "] def"
