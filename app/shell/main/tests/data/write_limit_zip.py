"""Writes a zip of the sample disc below "CD/" at one of the format's limits.
  write_limit_zip.py OUT SAMPLE comment          the archive's comment of 65,535 bytes, the largest
  write_limit_zip.py OUT SAMPLE longnames COUNT  COUNT empty entries first, each named 65,000
                                                 bytes long (12,000 of them make 1.56 GB)
"""
import os
import sys
import zipfile


def main():
    out, sample, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        if kind == 'longnames':
            for i in range(int(sys.argv[4])):
                z.writestr(zipfile.ZipInfo('CD/L%05d/' % i + 'n' * 64990), b'', zipfile.ZIP_STORED)
        for folder, _, files in os.walk(sample):
            for name in sorted(files):
                path = os.path.join(folder, name)
                z.write(path, 'CD/' + os.path.relpath(path, sample))
        if kind == 'comment':
            z.comment = b'c' * 65535


main()
