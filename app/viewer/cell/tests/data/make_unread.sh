#!/usr/bin/env bash
# Makes the cell fixtures in compressions the reader does not take, with GDCM from small.dcm
# (make_cells.sh): JPEG 2000 lossless and JPEG-LS lossless.
#   app/viewer/cell/tests/data/make_unread.sh
set -euo pipefail
cd "$(dirname "$0")"
gdcmconv --j2k small.dcm j2k.dcm
gdcmconv --jpegls small.dcm jpegls.dcm
