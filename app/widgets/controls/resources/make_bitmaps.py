#!/usr/bin/env python3
"""Draws the shell's built-in bitmaps and the Qt resource file that lists them.

Usage: make_bitmaps.py OUTPUT_FOLDER

Every bitmap is plain artwork of our own: flat fills, lines and simple glyphs. Each is
written as a 24-bit BMP named by its resource id; the resource file gives it the alias of
the id under the prefix /xev/bitmap. Later bitmaps are added to BITMAPS below.
"""
import os
import subprocess
import sys

from PIL import Image, ImageDraw, ImageFont

# The menu icons' transparent colour.
KEY = (64, 128, 128)


def bar(fill, top, bottom, size=(321, 27)):
    img = Image.new("RGB", size, fill)
    d = ImageDraw.Draw(img)
    d.line([(0, 0), (size[0] - 1, 0)], fill=top)
    d.line([(0, size[1] - 1), (size[0] - 1, size[1] - 1)], fill=bottom)
    return img


BAR_SELECTED = (38, 72, 128)
BAR_NORMAL = (226, 230, 236)
BAR_LAST = (218, 224, 232)
VIEW_BACK = (24, 52, 84)


def sex_icon(size, back, kind):
    """A ring with a stroke: up-right for male, down for female, none for other."""
    colours = {"M": (70, 130, 220), "F": (220, 80, 110), "O": (90, 170, 90)}
    img = Image.new("RGB", (size, size), back)
    d = ImageDraw.Draw(img)
    c = colours[kind]
    r = size // 3
    cx = cy = size // 2
    if kind == "M":
        cx, cy = size // 2 - 1, size // 2 + 1
        d.line([(cx + r - 1, cy - r + 1), (size - 2, 1)], fill=c, width=2)
    elif kind == "F":
        cy = size // 2 - 2
        d.line([(cx, cy + r), (cx, size - 1)], fill=c, width=2)
    d.ellipse([cx - r, cy - r, cx + r, cy + r], outline=c, width=2)
    return img


def panel(size, fill, edge):
    img = Image.new("RGB", size, fill)
    ImageDraw.Draw(img).rectangle([0, 0, size[0] - 1, size[1] - 1], outline=edge)
    return img


def patient_view():
    """The view writes its name forms from y 9 and 30 and its third line from y 56: the divider
    runs below them all."""
    img = Image.new("RGB", (442, 93), VIEW_BACK)
    d = ImageDraw.Draw(img)
    d.line([(12, 86), (429, 86)], fill=(60, 100, 140))
    d.rectangle([0, 0, 441, 92], outline=(12, 28, 48))
    return img


def list_background():
    """The study list's top: a flat fill fading in from a slightly darker band."""
    img = Image.new("RGB", (332, 96), (234, 237, 242))
    d = ImageDraw.Draw(img)
    for y in range(8):
        c = 222 + y * 12 // 8
        d.line([(0, y), (331, y)], fill=(c, c + 3, c + 8))
    return img


def thumb():
    img = Image.new("RGB", (17, 20), (150, 156, 166))
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([0, 0, 16, 19], radius=3, fill=(200, 206, 214), outline=(70, 76, 88))
    d.line([(8, 4), (8, 15)], fill=(70, 76, 88))
    return img


def icon(draw):
    img = Image.new("RGB", (16, 16), KEY)
    draw(ImageDraw.Draw(img))
    return img


def close_button(fill, edge, mark, ring=None):
    """The report dialog's close button: a rounded plate with a cross."""
    img = Image.new("RGB", (104, 44), (233, 237, 233))
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([1, 1, 102, 42], radius=6, fill=fill, outline=edge)
    if ring is not None:
        d.rounded_rectangle([4, 4, 99, 39], radius=4, outline=ring)
    d.line([(44, 14), (60, 30)], fill=mark, width=3)
    d.line([(60, 14), (44, 30)], fill=mark, width=3)
    return img


INK = (32, 32, 40)
MENU_ICONS = {
    # window/level: a half-filled disc
    234: lambda d: (d.ellipse([1, 1, 14, 14], fill=(250, 250, 250), outline=INK),
                    d.pieslice([1, 1, 14, 14], 90, 270, fill=INK)),
    # zoom: a lens with a handle
    236: lambda d: (d.ellipse([1, 1, 10, 10], outline=INK, width=2),
                    d.line([(9, 9), (14, 14)], fill=INK, width=3)),
    # pan: a cross of arrows
    237: lambda d: (d.line([(8, 1), (8, 14)], fill=INK, width=2), d.line([(1, 8), (14, 8)], fill=INK, width=2),
                    d.polygon([(8, 0), (5, 3), (11, 3)], fill=INK), d.polygon([(8, 15), (5, 12), (11, 12)], fill=INK),
                    d.polygon([(0, 8), (3, 5), (3, 11)], fill=INK), d.polygon([(15, 8), (12, 5), (12, 11)], fill=INK)),
    # measurement: a ruler
    238: lambda d: (d.rectangle([1, 5, 14, 10], fill=(240, 210, 90), outline=INK),
                    [d.line([(x, 5), (x, 7)], fill=INK) for x in (4, 7, 10)]),
    # text: a letter-like T
    239: lambda d: (d.rectangle([2, 2, 13, 4], fill=INK), d.rectangle([7, 4, 9, 14], fill=INK)),
    # arrow: a diagonal arrow
    240: lambda d: (d.line([(3, 12), (12, 3)], fill=(200, 40, 40), width=2),
                    d.polygon([(13, 2), (7, 3), (12, 8)], fill=(200, 40, 40))),
    # pixel value: a probe point on a grid cell
    241: lambda d: (d.rectangle([2, 2, 13, 13], outline=INK), d.rectangle([6, 6, 9, 9], fill=(40, 120, 200))),
    # black and white inversion: two halves
    274: lambda d: (d.rectangle([1, 1, 7, 14], fill=(250, 250, 250), outline=INK),
                    d.rectangle([8, 1, 14, 14], fill=INK)),
}

BITMAPS = {
    147: lambda: panel((213, 28), (206, 212, 220), (120, 128, 140)),
    148: thumb,
    206: lambda: sex_icon(24, VIEW_BACK, "M"),
    207: lambda: sex_icon(24, VIEW_BACK, "F"),
    208: lambda: sex_icon(24, VIEW_BACK, "O"),
    199: list_background,
    200: lambda: icon(lambda d: (d.rectangle([3, 1, 12, 14], fill=(250, 250, 250), outline=INK),
                                 d.line([(5, 5), (10, 5)], fill=INK), d.line([(5, 8), (10, 8)], fill=INK))),
    209: lambda: bar(BAR_SELECTED, (80, 116, 170), (20, 40, 80)),
    210: lambda: bar(BAR_NORMAL, (250, 250, 252), (170, 176, 186)),
    211: lambda: sex_icon(18, BAR_SELECTED, "O"),
    212: lambda: sex_icon(18, BAR_NORMAL, "F"),
    213: lambda: sex_icon(18, BAR_SELECTED, "F"),
    214: lambda: sex_icon(18, BAR_NORMAL, "M"),
    215: lambda: sex_icon(18, BAR_SELECTED, "M"),
    216: lambda: sex_icon(18, BAR_NORMAL, "O"),
    217: lambda: panel((115, 41), (206, 212, 220), (120, 128, 140)),
    218: patient_view,
    252: lambda: bar(BAR_LAST, (250, 250, 252), (120, 126, 136)),
    267: lambda: close_button((214, 222, 232), (70, 90, 120), INK, (90, 130, 190)),
    268: lambda: close_button((214, 216, 218), (150, 152, 156), (160, 162, 166)),
    269: lambda: close_button((214, 222, 232), (70, 90, 120), INK),
    270: lambda: close_button((170, 184, 204), (40, 60, 90), INK),
}
for number, draw in MENU_ICONS.items():
    BITMAPS[number] = (lambda draw=draw: icon(draw))


# Pane buttons: a face per look (normal, selected, focus, disabled) with the tool's glyph.
BUTTON_FACES = [((196, 206, 220), (90, 100, 116)), ((120, 160, 210), (30, 50, 90)),
                ((226, 234, 246), (70, 110, 170)), ((170, 172, 176), (140, 142, 146))]


def button(size, look, glyph):
    fill, edge = BUTTON_FACES[look]
    img = Image.new("RGB", size, fill)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([0, 0, size[0] - 1, size[1] - 1], radius=6, outline=edge, width=2)
    ink = INK if look != 3 else (120, 122, 126)
    cx, cy = size[0] // 2, size[1] // 2
    if glyph == "wl":
        d.pieslice([cx - 14, cy - 14, cx + 14, cy + 14], 90, 270, fill=ink)
        d.ellipse([cx - 14, cy - 14, cx + 14, cy + 14], outline=ink, width=2)
    elif glyph == "zoom":
        d.ellipse([cx - 12, cy - 12, cx + 6, cy + 6], outline=ink, width=3)
        d.line([(cx + 4, cy + 4), (cx + 14, cy + 14)], fill=ink, width=4)
    elif glyph == "pan":
        d.line([(cx - 14, cy), (cx + 14, cy)], fill=ink, width=3)
        d.line([(cx, cy - 14), (cx, cy + 14)], fill=ink, width=3)
    elif glyph == "measure":
        d.line([(cx - 14, cy + 8), (cx + 14, cy - 8)], fill=ink, width=3)
    elif glyph == "text":
        d.line([(cx - 10, cy - 12), (cx + 10, cy - 12)], fill=ink, width=4)
        d.line([(cx, cy - 12), (cx, cy + 14)], fill=ink, width=4)
    elif glyph == "arrow":
        d.line([(cx - 12, cy + 12), (cx + 12, cy - 12)], fill=ink, width=3)
        d.polygon([(cx + 14, cy - 14), (cx + 2, cy - 12), (cx + 12, cy - 2)], fill=ink)
    elif glyph == "pixel":
        d.rectangle([cx - 12, cy - 12, cx + 12, cy + 12], outline=ink, width=2)
        d.rectangle([cx - 3, cy - 3, cx + 3, cy + 3], fill=ink)
    elif glyph == "play":
        d.polygon([(cx - 8, cy - 12), (cx - 8, cy + 12), (cx + 12, cy)], fill=ink)
    elif glyph == "pause":
        d.rectangle([cx - 10, cy - 12, cx - 3, cy + 12], fill=ink)
        d.rectangle([cx + 3, cy - 12, cx + 10, cy + 12], fill=ink)
    elif glyph == "help":
        d.arc([cx - 9, cy - 16, cx + 9, cy + 2], 180, 90, fill=ink, width=3)
        d.line([(cx, cy + 2), (cx, cy + 7)], fill=ink, width=3)
        d.rectangle([cx - 2, cy + 11, cx + 2, cy + 15], fill=ink)
    elif glyph == "exit":
        d.line([(cx - 11, cy - 11), (cx + 11, cy + 11)], fill=ink, width=4)
        d.line([(cx - 11, cy + 11), (cx + 11, cy - 11)], fill=ink, width=4)
    elif glyph == "report":
        d.rectangle([cx - 11, cy - 15, cx + 11, cy + 15], outline=ink, width=2)
        for k in range(4):
            d.line([(cx - 6, cy - 8 + 6 * k), (cx + 6, cy - 8 + 6 * k)], fill=ink, width=2)
    elif glyph == "stack":
        for k in range(3):
            d.rectangle([cx - 12 + 4 * k, cy - 10 + 3 * k, cx + 4 + 4 * k, cy + 2 + 3 * k], outline=ink)
    elif glyph == "thumb":
        for i in range(3):
            d.rectangle([cx - 16 + 11 * i, cy - 5, cx - 8 + 11 * i, cy + 5], outline=ink)
    elif glyph == "full":
        d.rectangle([cx - 16, cy - 10, cx + 16, cy + 10], outline=ink, width=2)
        d.polygon([(cx - 13, cy - 7), (cx - 6, cy - 7), (cx - 13, cy)], fill=ink)
        d.polygon([(cx + 13, cy + 7), (cx + 6, cy + 7), (cx + 13, cy)], fill=ink)
    return img


# Resource ids in the order normal, selected, focus, disabled.
PANE_BUTTONS = [
    ((165, 166, 163, 195), "wl"), ((169, 170, 167, 168), "zoom"), ((173, 174, 171, 172), "pan"),
    ((177, 178, 175, 176), "measure"), ((181, 182, 179, 180), "text"), ((185, 186, 183, 184), "arrow"),
    ((189, 190, 187, 188), "pixel"), ((193, 194, 191, 192), "play"), ((221, 219, 222, 220), "pause"),
    ((142, 143, 144, 197), "help"), ((139, 140, 141, 196), "exit"), ((263, 264, 265, 266), "report"),
]
TOGGLES = [((150, 153, 151, 152), "stack"), ((162, 156, 157, 154), "thumb"), ((160, 161, 158, 159), "full")]
for ids, glyph in PANE_BUTTONS:
    for look, number in enumerate(ids):
        BITMAPS[number] = (lambda look=look, glyph=glyph: button((54, 54), look, glyph))
for ids, glyph in TOGGLES:
    for look, number in enumerate(ids):
        BITMAPS[number] = (lambda look=look, glyph=glyph: button((54, 31), look, glyph))
# Pane backgrounds: title, cine area, status. A pane wider or taller than its background
# paints the rest with its own brush, so the two backgrounds are that brush's colour alone.
BITMAPS[198] = lambda: Image.new("RGB", (1262, 93), (15, 128, 15))
BITMAPS[205] = lambda: panel((192, 54), (30, 60, 40), (90, 130, 100))
BITMAPS[149] = lambda: Image.new("RGB", (1147, 41), (0, 255, 255))

def japanese_font(pixels):
    """Noto Sans CJK JP (the fonts-noto-cjk package the build installs): the terms dialog's
    faces carry Japanese words, which no font of Pillow's own has."""
    try:
        found = subprocess.run(["fc-match", "-f", "%{file}\n%{index}\n%{family}", "Noto Sans CJK JP"],
                               capture_output=True, text=True, check=True).stdout.split("\n")
    except (OSError, subprocess.CalledProcessError):
        found = []
    if len(found) < 3 or "CJK" not in found[2]:
        sys.exit("make_bitmaps.py: the font Noto Sans CJK JP (package fonts-noto-cjk) is missing")
    return ImageFont.truetype(found[0], pixels, index=int(found[1] or 0))


PRODUCT_NAME = "RV-K Viewer"


def agreement_back():
    img = Image.new("RGB", (800, 560), (92, 93, 93))
    d = ImageDraw.Draw(img)
    for y in range(170):
        shade = 60 + y * 40 // 170
        d.line([(0, y), (799, y)], fill=(shade, shade + 8, shade + 24))
    d.line([(0, 170), (799, 170)], fill=(150, 154, 160))
    d.rectangle([19, 184, 780, 506], outline=(40, 42, 44))
    d.text((40, 56), PRODUCT_NAME, font=japanese_font(48), fill=(250, 250, 252))
    return img


# The faces' words are the buttons' tooltips (texts 20101 and 20102), which the terms ask for.
AGREE, DECLINE = "同意する", "同意しない"
BUTTON_TEXT_PIXELS = 13


def skin_button(face, edge, text, ink):
    img = Image.new("RGB", (94, 22), face)
    d = ImageDraw.Draw(img)
    d.rectangle([0, 0, 93, 21], outline=edge)
    font = japanese_font(BUTTON_TEXT_PIXELS)
    left, top, right, bottom = d.textbbox((0, 0), text, font=font)
    d.text(((94 - (right - left)) / 2 - left, (22 - (bottom - top)) / 2 - top), text, font=font, fill=ink)
    return img


# The terms dialog: its background and the fallback looks of OK and Cancel (focus, disabled,
# normal, selected).
for base, text in ((244, AGREE), (248, DECLINE)):
    BITMAPS[base] = (lambda text=text: skin_button((96, 132, 188), (230, 236, 246), text, (255, 255, 255)))
    BITMAPS[base + 1] = (lambda text=text: skin_button((128, 128, 128), (100, 100, 100), text, (180, 180, 180)))
    BITMAPS[base + 2] = (lambda text=text: skin_button((70, 104, 156), (40, 60, 96), text, (255, 255, 255)))
    BITMAPS[base + 3] = (lambda text=text: skin_button((40, 64, 104), (20, 30, 50), text, (230, 230, 230)))
BITMAPS[243] = agreement_back


def window_icon():
    """The main window's small icon: a disc on a dark tile, for the discs the viewer reads."""
    img = Image.new("RGB", (16, 16), VIEW_BACK)
    d = ImageDraw.Draw(img)
    d.ellipse([1, 1, 14, 14], fill=(214, 222, 232), outline=(250, 250, 252))
    d.ellipse([4, 4, 11, 11], fill=(120, 160, 210))
    d.ellipse([6, 6, 9, 9], fill=VIEW_BACK)
    return img


BITMAPS[130] = window_icon


def main():
    out = sys.argv[1]
    os.makedirs(os.path.join(out, "bitmaps"), exist_ok=True)
    lines = ['<!DOCTYPE RCC><RCC version="1.0">', '<qresource prefix="/xev/bitmap">']
    for number in sorted(BITMAPS):
        name = "bitmaps/%d.bmp" % number
        BITMAPS[number]().convert("RGB").save(os.path.join(out, name), "BMP")
        lines.append('<file alias="%d">%s</file>' % (number, name))
    lines += ["</qresource>", "</RCC>", ""]
    with open(os.path.join(out, "xevbitmaps.qrc"), "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
