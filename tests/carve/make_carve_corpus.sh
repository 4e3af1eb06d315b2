#!/bin/bash
# Makes the carving corpus the length-finder tests plant into synthetic sources: pictures made
# by Pillow and ImageMagick, archives and zip-based documents made by zip, pages written as
# text. Usage: make_carve_corpus.sh OUTDIR
#
#   OUTDIR/NAME          one file per case
#   OUTDIR/manifest      "NAME<TAB>TYPE-ID<TAB>SIZE" per file: the size a finder must give
# Cached (tests/support/image_script.sh): nothing is made again while this script is unchanged.
set -euo pipefail
# shellcheck source=../support/image_script.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/../support/image_script.sh"
image_script_start "$@"

pillow_python
need_tools "imagemagick zip" convert zip
image_script_fresh
cd "$WORK"

# Pillow: JPEG with EXIF date and camera, PNG with its source and creation-time texts and with
# several data chunks, GIF, BMP, TIFF in both byte orders with date and model.
"$PY" - "$OUT" <<'PY'
import os, random, sys
from PIL import Image, PngImagePlugin
out = sys.argv[1]
random.seed(7)

def noisy(w, h):
    img = Image.new("RGB", (w, h))
    img.putdata([(random.randrange(256), random.randrange(256), random.randrange(256)) for _ in range(w * h)])
    return img

def gradient(w, h):
    img = Image.new("RGB", (w, h))
    img.putdata([((x * 7) % 256, (y * 5) % 256, (x + y) % 256) for y in range(h) for x in range(w)])
    return img

exif = Image.Exif()
exif[0x010F] = "Canon"
exif[0x0110] = "EOS 5D"
exif[0x0132] = "2009:07:03 14:05:31"
gradient(96, 64).save(f"{out}/pillow_exif.jpg", quality=90, exif=exif.tobytes())
noisy(200, 150).save(f"{out}/pillow_noisy.jpg", quality=95)

info = PngImagePlugin.PngInfo()
info.add_text("Source", "Canon EOS 5D")
info.add_text("CreationTime", "2009-07-03 14:05:31")
gradient(64, 48).save(f"{out}/pillow_named.png", pnginfo=info)
noisy(300, 300).save(f"{out}/pillow_multi_idat.png")  # image data split over several chunks

gradient(40, 30).convert("P").save(f"{out}/pillow.gif")
gradient(37, 21).save(f"{out}/pillow.bmp")

tags = {0x0110: "EOS 5D", 0x0132: "2009:07:03 14:05:31"}
gradient(48, 32).save(f"{out}/pillow_le.tif", tiffinfo=tags)
PY

# ImageMagick: JFIF JPEG (baseline and progressive), PNG with text chunks after the image data,
# an animated GIF, BMP with each header size, a big-endian multi-strip TIFF.
convert -size 120x80 gradient:red-blue "$OUT/magick.jpg"
convert -size 120x80 plasma:fractal -seed 3 -interlace Plane "$OUT/magick_progressive.jpg"
convert -size 64x48 gradient:green-yellow "$OUT/magick_text_after_data.png"
convert -size 33x17 -seed 5 plasma:fractal -seed 6 -delay 10 -size 33x17 plasma:fractal \
  -seed 7 -size 33x17 plasma:fractal -loop 0 "$OUT/magick_animated.gif"
convert -size 29x13 gradient:white-black "bmp2:$OUT/magick_core.bmp"
convert -size 29x13 gradient:white-black "bmp3:$OUT/magick_v3.bmp"
convert -size 29x13 gradient:white-black "bmp:$OUT/magick_v5.bmp"
convert -size 50x40 gradient:blue-white -define tiff:endian=msb -define tiff:rows-per-strip=8 \
  "$OUT/magick_be_strips.tif"

# zip: a plain archive, one with data descriptors, one with an archive comment, one from a
# stream; zip-based documents with the content-types entry first, stored plainly and with
# data descriptors.
mkdir -p src/docs
head -c 3000 /dev/urandom >src/a.bin
printf 'plain text file\n%.0s' {1..40} >src/docs/notes.txt
(cd src && zip -q -X ../plain.zip a.bin docs/notes.txt)
(cd src && zip -q -X -fd ../descriptors.zip a.bin docs/notes.txt)
(cd src && echo "archive comment" | zip -q -X -z ../commented.zip a.bin docs/notes.txt)
(cd src && zip -q -X - - <a.bin | cat >../streamed.zip)  # not seekable: sizes after the data
cp plain.zip descriptors.zip commented.zip streamed.zip "$OUT/"

ooxml() {  # ooxml NAME MAINPART ZIPOPTIONS...
  local name=$1 part=$2
  shift 2
  rm -rf doc && mkdir -p "doc/$(dirname "$part")" doc/_rels
  printf '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>' \
    >"doc/[Content_Types].xml"
  printf '<?xml version="1.0"?><Relationships/>' >doc/_rels/.rels
  printf '<?xml version="1.0"?><document>%s</document>' "$(printf 'x%.0s' {1..500})" >"doc/$part"
  (cd doc && zip -q -X "$@" "../$name" "[Content_Types].xml" _rels/.rels "$part")
  cp "$name" "$OUT/"
}
ooxml word.docx word/document.xml
ooxml sheet.xlsx xl/workbook.xml
ooxml slides.pptx ppt/presentation.xml
ooxml word_descriptors.docx word/document.xml -fd

# Pages: the HTML5 doctype in both cases, the upper-case legacy doctype (with "</HTML>" inside
# its title), bare <html> and <HTML> starts; each ends with its closing tag and a CR LF, which is
# where a page without a size is taken to end.
printf '<!DOCTYPE html>\n<html><head><title>First page</title></head>\n<body>%s</body>\n</html>\r\n' \
  "$(printf 'text %.0s' {1..300})" >"$OUT/html5.html"
printf '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN">\r\n<HTML><HEAD><TITLE>Old</HTML> page</TITLE></HEAD>\r\n<BODY>old</BODY>\r\n</HTML>\r\n' \
  >"$OUT/legacy.html"
printf '<!doctype html>\n<html lang="en"><body>lower</body></html>\r\n' >"$OUT/lower.html"
printf '<html>\n<body>bare</body>\n</html>\r\n' >"$OUT/bare.html"
printf '<HTML>\r\n<BODY>upper</BODY>\r\n</HTML>\r\n' >"$OUT/upper.html"

{
  printf 'pillow_exif.jpg\t14\n'
  printf 'pillow_noisy.jpg\t14\n'
  printf 'magick.jpg\t14\n'
  printf 'magick_progressive.jpg\t14\n'
  printf 'pillow_named.png\t19\n'
  printf 'pillow_multi_idat.png\t19\n'
  printf 'magick_text_after_data.png\t19\n'
  printf 'pillow.gif\t18\n'
  printf 'magick_animated.gif\t18\n'
  printf 'pillow.bmp\t17\n'
  printf 'magick_core.bmp\t17\n'
  printf 'magick_v3.bmp\t17\n'
  printf 'magick_v5.bmp\t17\n'
  printf 'pillow_le.tif\t15\n'
  printf 'magick_be_strips.tif\t16\n'
  printf 'plain.zip\t52\n'
  printf 'descriptors.zip\t52\n'
  printf 'commented.zip\t52\n'
  printf 'streamed.zip\t52\n'
  printf 'word.docx\t128\n'
  printf 'sheet.xlsx\t132\n'
  printf 'slides.pptx\t135\n'
  printf 'word_descriptors.docx\t128\n'
  printf 'html5.html\t139\n'
  printf 'legacy.html\t139\n'
  printf 'lower.html\t140\n'
  printf 'bare.html\t141\n'
  printf 'upper.html\t143\n'
} | while IFS=$'\t' read -r name type; do
  printf '%s\t%s\t%s\n' "$name" "$type" "$(stat -c %s "$OUT/$name")"
done >"$OUT/manifest"

image_script_done
