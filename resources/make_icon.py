#!/usr/bin/env python3
"""Draws kovex.ico: a 48 by 48, 256-colour icon of a DE-9 serial connector
under a square pulse. Run it to regenerate the committed icon byte for byte:

    python3 resources/make_icon.py resources/kovex.ico
    python3 resources/make_icon.py --check resources/kovex.ico   # unchanged?
"""
import struct
import sys

SIZE = 48
PALETTE = [  # index: (red, green, blue)
    (0, 0, 0),         # 0 transparent
    (40, 48, 64),      # 1 shell outline
    (112, 128, 150),   # 2 shell face
    (58, 66, 82),      # 3 socket face
    (226, 178, 52),    # 4 pin
    (32, 200, 72),     # 5 pulse
    (18, 110, 40),     # 6 pulse shadow
]


def in_trapezoid(x, y, top, bottom, left_top, right_top, slant):
    if not top <= y <= bottom:
        return False
    inset = (y - top) * slant / (bottom - top)
    return left_top + inset <= x <= right_top - inset


def pixel(x, y):
    # Pulse: low, a rising edge, high, a falling edge, low; 3 pixels thick.
    low, high, rise, fall = 15, 4, 14, 33
    def on_pulse(dx, dy):
        px, py = x - dx, y - dy
        horizontal = ((low <= py < low + 3 and (3 <= px < rise + 3 or fall <= px < 45))
                      or (high <= py < high + 3 and rise <= px < fall + 3))
        vertical = high <= py < low + 3 and (rise <= px < rise + 3 or fall <= px < fall + 3)
        return horizontal or vertical
    if on_pulse(0, 0):
        return 5
    if on_pulse(1, 1):
        return 6
    # Connector shell and its face, narrowing downwards like a real D-sub.
    pins = [(cx, 27) for cx in (14, 19, 24, 29, 34)] + [(cx, 33) for cx in (16, 21, 27, 32)]
    if any(abs(x - cx) <= 1 and abs(y - cy) <= 1 for cx, cy in pins):
        return 4
    if in_trapezoid(x, y, 24, 37, 10, 38, 4):
        return 3
    if in_trapezoid(x, y, 21, 41, 5, 42, 7):
        return 2
    if in_trapezoid(x, y, 20, 42, 4, 43, 7):
        return 1
    return 0


def icon():
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    colours = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colours += bytes(4 * (256 - len(PALETTE)))
    xor = b"".join(bytes(row) for row in reversed(rows))
    mask_row = (SIZE + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = 0
        for x, index in enumerate(row):
            bits |= (index == 0) << (mask_row * 8 - 1 - x)
        mask += bits.to_bytes(mask_row, "big")
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 256, 0)
    image = header + colours + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image, rows


if __name__ == "__main__":
    data, _ = icon()
    if sys.argv[1] == "--check":
        with open(sys.argv[2], "rb") as f:
            same = f.read() == data
        print(f"{sys.argv[2]} {'is' if same else 'is not'} what this script draws")
        sys.exit(0 if same else 1)
    with open(sys.argv[1], "wb") as f:
        f.write(data)
