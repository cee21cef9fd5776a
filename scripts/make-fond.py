#!/usr/bin/env python3
"""Draws the synth window's background, fond.bmp: which key plays which voice and note.

    python3 scripts/make-fond.py patches/fond.bmp

320 x 240 pixels, 24-bit uncompressed Windows bitmap (bottom-up rows, each padded
to 4 bytes). Standard library only; the letters come from the 5 x 7 font below.
"""
import struct
import sys

W, H = 320, 240

# 5 x 7 glyphs, one string per row, '#' lit.
FONT = {
    "A": [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "B": ["####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."],
    "C": [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    "D": ["####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."],
    "E": ["#####", "#....", "#....", "####.", "#....", "#....", "#####"],
    "F": ["#####", "#....", "#....", "####.", "#....", "#....", "#...."],
    "G": [".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"],
    "H": ["#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    "I": [".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "K": ["#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"],
    "L": ["#....", "#....", "#....", "#....", "#....", "#....", "#####"],
    "M": ["#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"],
    "N": ["#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    "Q": [".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"],
    "R": ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    "S": [".####", "#....", "#....", ".###.", "....#", "....#", "####."],
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "U": ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "V": ["#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    "W": ["#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."],
    "X": ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    "Y": ["#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."],
    "Z": ["#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"],
    "0": [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    "1": ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    "2": [".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"],
    "3": ["#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."],
    "4": ["...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."],
    "5": ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    "6": ["..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."],
    "7": ["#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."],
    "8": [".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."],
    "9": [".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."],
    ".": [".....", ".....", ".....", ".....", ".....", ".##..", ".##.."],
    ":": [".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."],
    "-": [".....", ".....", ".....", "#####", ".....", ".....", "....."],
    " ": ["....."] * 7,
}

BACKGROUND = (18, 22, 40)
TITLE = (235, 235, 245)
TEXT = (190, 195, 215)
KEYCAP = (228, 228, 220)
KEYCAP_EDGE = (110, 110, 120)
LETTER = (20, 20, 30)
# One colour per voice, for the row's label and the note names under its keys.
VOICE_COLOURS = {0: (255, 170, 60), 1: (110, 220, 120), 2: (120, 170, 255)}

# Same six notes on every voice; frequencies from the note table (note 58 = 440 Hz).
NOTES = [("A4", "440"), ("B4", "493.9"), ("C5", "523.3"), ("D5", "587.3"), ("E5", "659.3"),
         ("F5", "698.5")]
# Rows as they lie on the keyboard, top to bottom, with the voice each one plays.
ROWS = [(2, "QWERTY"), (1, "ASDFGH"), (0, "ZXCVBN")]


def new_canvas():
    return [[BACKGROUND] * W for _ in range(H)]


def fill(canvas, x, y, w, h, colour):
    for yy in range(max(0, y), min(H, y + h)):
        row = canvas[yy]
        for xx in range(max(0, x), min(W, x + w)):
            row[xx] = colour


def text_width(text, scale):
    return len(text) * 6 * scale - scale


def draw_text(canvas, x, y, text, colour, scale=1):
    for i, ch in enumerate(text):
        glyph = FONT[ch]
        gx = x + i * 6 * scale
        for gy, line in enumerate(glyph):
            for px, bit in enumerate(line):
                if bit == "#":
                    fill(canvas, gx + px * scale, y + gy * scale, scale, scale, colour)


def draw_centred(canvas, cx, y, text, colour, scale=1):
    draw_text(canvas, cx - text_width(text, scale) // 2, y, text, colour, scale)


def draw(canvas):
    draw_centred(canvas, W // 2, 6, "TEV MODULAR SYNTH", TITLE, 2)
    key_w, key_h, gap = 42, 56, 2
    left = 52
    top = 28
    for r, (voice, keys) in enumerate(ROWS):
        y = top + r * (key_h + 6)
        colour = VOICE_COLOURS[voice]
        draw_centred(canvas, left // 2, y + 16, "VOICE", colour)
        draw_centred(canvas, left // 2, y + 28, str(voice), colour, 2)
        for i, key in enumerate(keys):
            x = left + i * (key_w + gap)
            fill(canvas, x, y, key_w, key_h, KEYCAP_EDGE)
            fill(canvas, x + 1, y + 1, key_w - 2, 30, KEYCAP)
            draw_centred(canvas, x + key_w // 2, y + 5, key, LETTER, 3)
            name, hz = NOTES[i]
            fill(canvas, x + 1, y + 32, key_w - 2, key_h - 33, BACKGROUND)
            draw_centred(canvas, x + key_w // 2, y + 35, name, colour)
            draw_centred(canvas, x + key_w // 2, y + 45, hz, TEXT)
    draw_centred(canvas, W // 2, 218, "ESC QUITS", TITLE, 2)


def bmp_bytes(canvas):
    row_bytes = (W * 3 + 3) & ~3
    image_size = row_bytes * H
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + image_size, 0, 0, 14 + 40)
    # 2835 pixels per metre is 72 dpi.
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, image_size, 2835, 2835, 0, 0)
    rows = []
    for y in range(H - 1, -1, -1):
        line = bytearray()
        for (r, g, b) in canvas[y]:
            line += bytes((b, g, r))
        line += b"\0" * (row_bytes - W * 3)
        rows.append(bytes(line))
    return header + info + b"".join(rows)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "fond.bmp"
    canvas = new_canvas()
    draw(canvas)
    with open(out, "wb") as f:
        f.write(bmp_bytes(canvas))


if __name__ == "__main__":
    main()
