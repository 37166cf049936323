#!/usr/bin/python3
"""Adds seeds whose Huffman tables give one-bit codes and whose data are all zero bytes: a call
then consumes fewer bits than the state held when it began, and gives back every byte it read.
To the Huffman kernels' corpus: blocks and lossless rows, each call handed the rest of the data
as a buffer of its own. To vek's JPEG corpus: a 1024 x 1024 baseline stream, and a lossless
stream of three components two samples wide (rows of 6 bits), its data cut short of the whole
image to stay within the fuzzer's input limit. Each file is named by its SHA-1.
    jpeg/kernels/fuzz/make_one_bit_seeds.py"""
import hashlib
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.normpath(os.path.join(here, '..', '..', '..'))

ONE_CODE = bytes([1] + [0] * 15) + b'\0'   # 16 counts, one code of one bit, symbol 0


def save(folder, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), 'wb') as f:
        f.write(data)


def segment(marker, body):
    return struct.pack('>BBH', 0xFF, marker, len(body) + 2) + body


def jpeg(sof, precision, width, height, components, ss, scan_bytes):
    ids = range(1, components + 1)
    frame = struct.pack('>BHHB', precision, height, width, components)
    frame += b''.join(struct.pack('BBB', i, 0x11, 0) for i in ids)
    tables = segment(0xC4, b'\x00' + ONE_CODE + b'\x10' + ONE_CODE)
    scan = struct.pack('B', components) + b''.join(struct.pack('BB', i, 0x00) for i in ids)
    scan += struct.pack('BBB', ss, 63 if sof == 0xC0 else 0, 0)
    quant = segment(0xDB, b'\x00' + bytes([1] * 64)) if sof == 0xC0 else b''
    return (b'\xFF\xD8' + quant + segment(sof, frame) + tables + segment(0xDA, scan) + b'\0' * scan_bytes +
            b'\xFF\xD9')


def main():
    kernels = os.path.join(here, 'corpus')
    # Mode: bit 0 rows, bits 1-3 components, bit 4 a buffer of its own a call; then the width.
    for mode, width in ((0x10, 1), (0x11, 1), (0x11, 7), (0x13, 3)):
        save(kernels, bytes([mode, width - 1]) + ONE_CODE + ONE_CODE + b'\0' * 2048)
    vek = os.path.join(root, 'vek', 'fuzz', 'corpus_jpeg')
    # The first byte picks the reader: 0 the JPEG reader, 2 the lossless one.
    save(vek, b'\x00' + jpeg(0xC0, 8, 1024, 1024, 1, 0, 1024 * 1024 // 64 * 2 // 8))
    save(vek, b'\x02' + jpeg(0xC3, 8, 2, 16384, 3, 1, 12 * 1024))


if __name__ == '__main__':
    main()
