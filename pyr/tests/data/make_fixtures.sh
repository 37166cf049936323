#!/usr/bin/env bash
# Rebuilds the DICOM fixtures and the dcmdump listings the tests compare against.
# Needs dcmtk and python3 (apt-get install -y dcmtk); the test build itself needs neither.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import struct, sys
w = sys.argv[1]
# 8 x 8 and 2 frames of 8 x 8, 16-bit, 12 bits stored.
open(f'{w}/pix16.raw', 'wb').write(b''.join(struct.pack('<H', (i * 37) & 0xFFF) for i in range(64)))
open(f'{w}/pix16x2.raw', 'wb').write(b''.join(struct.pack('<H', (i * 53) & 0xFFF) for i in range(128)))
# Overlay plane, 8 x 8 bits.
open(f'{w}/overlay.raw', 'wb').write(bytes([0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81]))
# 8 x 8 24-bit BMP for img2dcm.
rows = b''
for y in range(8):
    rows += b''.join(bytes([x * 30, y * 30, 200]) for x in range(8))
header = b'BM' + struct.pack('<IHHI', 54 + len(rows), 0, 0, 54)
info = struct.pack('<IiiHHIIiiII', 40, 8, 8, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
open(f'{w}/image.bmp', 'wb').write(header + info + rows)
esc = '\x1b'
name = (f'Yamada^Tarou={esc}$B;3ED{esc}(B^{esc}$BB@O:{esc}(B='
        f'{esc}$B$d$^$@{esc}(B^{esc}$B$?$m$&{esc}(B')
open(f'{w}/name.txt', 'w', encoding='latin-1').write(name)
# Names and descriptions whose G1 bytes come without their designation, as some writers store them.
open(f'{w}/ko_name.txt', 'wb').write('Hong^Gildong=홍^길동'.encode('euc_kr'))
open(f'{w}/ko_study.txt', 'wb').write('Chest 흉부 CT'.encode('euc_kr'))
open(f'{w}/latin1_name.txt', 'wb').write('Buc^Jérôme'.encode('latin-1'))
open(f'{w}/latin1_study.txt', 'wb').write('Thorax Übersicht'.encode('latin-1'))
PY

name=$(cat "$work/name.txt")
common() {
cat <<DUMP
(0008,0005) CS [\\ISO 2022 IR 87]
(0008,0008) CS [ORIGINAL\\PRIMARY\\AXIAL\\HELICAL]
(0008,0016) UI =CTImageStorage
(0008,0018) UI [1.2.392.200036.9116.2.6.1.48.1214245415.1]
(0008,0020) DA [20240131]
(0008,0030) TM [101530.25]
(0008,0060) CS [CT]
(0008,1140) SQ (Sequence with explicit length #=2)
  (fffe,e000) na (Item with explicit length #=2)
    (0008,1150) UI =CTImageStorage
    (0008,1155) UI [1.2.3.4.5]
  (fffe,e00d) na (ItemDelimitationItem for re-encoding)
  (fffe,e000) na (Item with explicit length #=2)
    (0008,1150) UI =CTImageStorage
    (0008,1155) UI [1.2.3.4.6]
  (fffe,e00d) na (ItemDelimitationItem for re-encoding)
(fffe,e0dd) na (SequenceDelimitationItem for re-encod.)
(0009,0010) LO [ACME 1.1]
(0009,1001) LO [private text]
(0009,1002) UL 70000
(0009,1003) OB 01\\02\\03
(0010,0010) PN [$name]
(0010,0020) LO [PID-001]
(0018,0050) DS [1.25]
(0018,1210) SH [B30f]
(0018,6020) SL -12345\\67890
(0018,9219) SS -3
(0018,9306) FD 0.625\\-1.5
(0010,9431) FL 12.5
(0020,000d) UI [1.2.3.100]
(0020,000e) UI [1.2.3.100.1]
(0020,0010) SH [STUDY1]
(0020,0011) IS [3]
(0020,0013) IS [7]
(0020,0032) DS [-125.5\\-130\\45.25]
(0020,9165) AT (0020,9056)\\(0020,9057)
(0040,0275) SQ (Sequence with explicit length #=1)
  (fffe,e000) na (Item with explicit length #=2)
    (0040,0007) LO [level one]
    (0040,0008) SQ (Sequence with explicit length #=1)
      (fffe,e000) na (Item with explicit length #=3)
        (0008,0100) SH [CODE1]
        (0008,0102) SH [99LOCAL]
        (0040,0440) SQ (Sequence with explicit length #=1)
          (fffe,e000) na (Item with explicit length #=2)
            (0040,a040) CS [TEXT]
            (0040,a160) UT [level three]
          (fffe,e00d) na (ItemDelimitationItem for re-encoding)
        (fffe,e0dd) na (SequenceDelimitationItem for re-encod.)
      (fffe,e00d) na (ItemDelimitationItem for re-encoding)
    (fffe,e0dd) na (SequenceDelimitationItem for re-encod.)
  (fffe,e00d) na (ItemDelimitationItem for re-encoding)
(fffe,e0dd) na (SequenceDelimitationItem for re-encod.)
(0011,0010) LO [ACME SEQ]
(0011,1010) SQ (Sequence with explicit length #=1)
  (fffe,e000) na (Item with explicit length #=1)
    (0011,1011) LO [inside private]
  (fffe,e00d) na (ItemDelimitationItem for re-encoding)
(fffe,e0dd) na (SequenceDelimitationItem for re-encod.)
(0028,0002) US 1
(0028,0004) CS [MONOCHROME2]
(0028,0006) UN 00\\00
(0028,0010) US 8
(0028,0011) US 8
(0028,0030) DS [0.5\\0.5]
(0028,0100) US 16
(0028,0101) US 12
(0028,0102) US 11
(0028,0103) US 0
(0028,1050) DS [40]
(0028,1051) DS [400]
(0028,1052) DS [-1024]
(0028,1053) DS [1]
(5000,0005) US 1
(5000,0010) US 2
(5002,0005) US 2
(6000,0010) US 8
(6000,0011) US 8
(6000,0022) LO [outline]
(6000,0040) CS [G]
(6000,0050) SS 1\\1
(6000,0100) US 1
(6000,0102) US 0
(6000,3000) OW =$work/overlay.raw
(6002,0010) US 4
DUMP
}

# One image in every byte order and layout.
{ common; echo "(7fe0,0010) OW =$work/pix16.raw"; } > "$work/ct.dump"
dump2dcm -q "$work/ct.dump" "$work/ct.dcm"
dcmconv -q +te "$work/ct.dcm" ct_explicit_le.dcm
dcmconv -q +ti "$work/ct.dcm" ct_implicit_le.dcm
dcmconv -q +tb "$work/ct.dcm" ct_explicit_be.dcm
dcmconv -q +te -e "$work/ct.dcm" ct_undefined_lengths.dcm

# Two frames, RLE: an offset table and one fragment per frame.
{ common | sed -e 's/^(0028,0010) US 8/(0028,0010) US 8\n(0028,0008) IS [2]/'; \
  echo "(7fe0,0010) OW =$work/pix16x2.raw"; } > "$work/ct2.dump"
dump2dcm -q "$work/ct2.dump" "$work/ct2.dcm"
dcmcrle -q "$work/ct2.dcm" ct_rle.dcm

# A secondary capture from a bitmap, 8 bits per sample.
img2dcm -q -i BMP "$work/image.bmp" sc_bmp.dcm

# A raw dataset shorter than a preamble: implicit VR, no meta group.
cat > "$work/small.dump" <<DUMP
(0008,0060) CS [MR]
(0010,0020) LO [SMALL-1]
(0028,0010) US 2
(0028,0011) US 3
DUMP
dump2dcm -q "$work/small.dump" "$work/small.dcm"
dcmconv -q -F +ti "$work/small.dcm" raw_small.dcm

# Undesignated G1 bytes: Korean under \ISO 2022 IR 149, Latin-1 under \ISO 2022 IR 100.
for set in ko:149 latin1:100; do
    name=${set%%:*}
    cat > "$work/$name.dump" <<DUMP
(0008,0005) CS [\\ISO 2022 IR ${set#*:}]
(0008,1030) LO [$(cat "$work/${name}_study.txt")]
(0010,0010) PN [$(cat "$work/${name}_name.txt")]
DUMP
    dump2dcm -q "$work/$name.dump" "undesignated_$name.dcm"
done

# A DICOMDIR over two images.
mkdir -p "$work/cd/IMAGES"
cp ct_explicit_le.dcm "$work/cd/IMAGES/IM000001"
cp sc_bmp.dcm "$work/cd/IMAGES/IM000002"
(cd "$work/cd" && dcmmkdir -q -Pgp +I IMAGES/IM000001 IMAGES/IM000002)
cp "$work/cd/DICOMDIR" DICOMDIR

for f in ct_explicit_le ct_implicit_le ct_explicit_be ct_undefined_lengths ct_rle sc_bmp raw_small DICOMDIR; do
    src=$f
    [ -f "$f.dcm" ] && src=$f.dcm
    opts=(+L -Un)
    [ "$f" = raw_small ] && opts+=(-f -ti)
    dcmdump "${opts[@]}" "$src" > "$f.dump.txt"
done
