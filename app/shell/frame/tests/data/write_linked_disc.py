"""Writes one disc of two series (three 16 x 16 images, each one flat grey: 40, 120, 200) in
four layouts under OUT:
  PLAIN/       real folders and files;
  LINKED/      IMG a link to the folder STORE; in it I2 a link to ../FILES/I2 and I3 a chain
               of two links (LINK3, then ../FILES/I3);
  VIA/DICOMDIR a link to LINKED's DICOMDIR, from outside it;
  OUTSIDE/     as PLAIN, but IMG/I2 a link to a copy of the file outside the disc (OUT/AWAY/I2);
  OUTFOLDER/   as PLAIN, but IMG a link to a folder outside the disc (OUT/AWAYIMG);
  BROKEN/      as PLAIN, but IMG/I2 a link to a file the disc does not hold (GONE) and IMG/I3
               one of two links that lead to each other (I3 -> LOOP3 -> I3);
  NOWHERE/     as PLAIN, but IMG a link to a folder the disc does not hold (GONE);
  ROUND/       as PLAIN, but IMG one of two links that lead to each other (IMG -> IMG2 -> IMG).
  write_linked_disc.py OUT
"""
import os
import shutil
import sys

import numpy as np

from kvfixtures import image_record, mono_image, record, series_record, write_dicomdir

out = sys.argv[1]
greys = {'I1': 40, 'I2': 120, 'I3': 200}
series_of = {'I1': 1, 'I2': 1, 'I3': 2}


def write_disc(disc):
    os.makedirs(os.path.join(disc, 'IMG'))
    for k, (name, grey) in enumerate(greys.items()):
        mono_image(os.path.join(disc, 'IMG', name), 16, 16, 8, None, np.full((16, 16), grey, np.uint8).tobytes(),
                   ('Linked^Disc', 'H92'), '1.2.92.1', '1.2.92.2.' + str(series_of[name]), '1.2.92.9.' + str(k + 1))
    images = [image_record('IMG\\' + name, k + 1, '1.2.92.9.') for k, name in enumerate(greys)]
    study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.92.1')],
                   [series_record('1.2.92.2.1', 1, images[0], images[1]), series_record('1.2.92.2.2', 2, images[2])])
    patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', 'Linked^Disc'), (0x0010, 0x0020, 'LO', 'H92')], [study])]
    write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.92.7')


write_disc(os.path.join(out, 'PLAIN'))

linked = os.path.join(out, 'LINKED')
shutil.copytree(os.path.join(out, 'PLAIN'), linked)
os.rename(os.path.join(linked, 'IMG'), os.path.join(linked, 'STORE'))
os.symlink('STORE', os.path.join(linked, 'IMG'))
os.makedirs(os.path.join(linked, 'FILES'))
for name in ('I2', 'I3'):
    os.rename(os.path.join(linked, 'STORE', name), os.path.join(linked, 'FILES', name))
os.symlink('../FILES/I2', os.path.join(linked, 'STORE', 'I2'))
os.symlink('../FILES/I3', os.path.join(linked, 'STORE', 'LINK3'))
os.symlink('LINK3', os.path.join(linked, 'STORE', 'I3'))
os.makedirs(os.path.join(out, 'VIA'))
os.symlink('../LINKED/DICOMDIR', os.path.join(out, 'VIA', 'DICOMDIR'))

outside = os.path.join(out, 'OUTSIDE')
shutil.copytree(os.path.join(out, 'PLAIN'), outside)
os.makedirs(os.path.join(out, 'AWAY'))
os.rename(os.path.join(outside, 'IMG', 'I2'), os.path.join(out, 'AWAY', 'I2'))
os.symlink('../../AWAY/I2', os.path.join(outside, 'IMG', 'I2'))

outfolder = os.path.join(out, 'OUTFOLDER')
shutil.copytree(os.path.join(out, 'PLAIN'), outfolder)
os.rename(os.path.join(outfolder, 'IMG'), os.path.join(out, 'AWAYIMG'))
os.symlink('../AWAYIMG', os.path.join(outfolder, 'IMG'))

broken = os.path.join(out, 'BROKEN')
shutil.copytree(os.path.join(out, 'PLAIN'), broken)
for name in ('I2', 'I3'):
    os.remove(os.path.join(broken, 'IMG', name))
os.symlink('GONE', os.path.join(broken, 'IMG', 'I2'))
os.symlink('LOOP3', os.path.join(broken, 'IMG', 'I3'))
os.symlink('I3', os.path.join(broken, 'IMG', 'LOOP3'))

nowhere = os.path.join(out, 'NOWHERE')
shutil.copytree(os.path.join(out, 'PLAIN'), nowhere)
shutil.rmtree(os.path.join(nowhere, 'IMG'))
os.symlink('GONE', os.path.join(nowhere, 'IMG'))

round_ = os.path.join(out, 'ROUND')
shutil.copytree(os.path.join(out, 'PLAIN'), round_)
shutil.rmtree(os.path.join(round_, 'IMG'))
os.symlink('IMG2', os.path.join(round_, 'IMG'))
os.symlink('IMG', os.path.join(round_, 'IMG2'))
