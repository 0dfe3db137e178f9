#!/usr/bin/env python3
"""Draws the program's icons and writes them as XPM files into res/icons/.

The pictures are described here as a few geometric shapes so they can be
reviewed and changed as text; the XPM output is checked in, so building the
program needs neither this script nor an SVG renderer (Qt reads XPM by
itself). Run it again after changing a picture:

    python3 scripts/make-icons.py

The three status icons differ in shape, not only in colour, so they can be
told apart at a glance by a colour-blind user too:
  SERVER_CONN  filled green disc with a white check mark
  SERVER_DISC  hollow grey ring with a gap at the top
  SERVER_ERR   red triangle with a white exclamation mark
  SERVER_MID   amber square with three dots (a state in between)
XPM has no partial transparency, so each pixel is either a colour or clear;
shapes are sampled 4x4 per pixel and a pixel takes the colour of the top
shape that covers at least half of it.
"""
import math
import os
import sys

SS = 4  # samples per pixel side


# --- shapes: each is a function (x, y) -> bool in pixel coordinates ---------

def disc(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_out, r_in):
    return lambda x, y: r_in * r_in <= (x - cx) ** 2 + (y - cy) ** 2 <= r_out * r_out


def segment(x1, y1, x2, y2, half_width):
    """A thick line with round ends."""
    dx, dy = x2 - x1, y2 - y1
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / length2))
        px, py = x1 + t * dx, y1 + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= half_width * half_width
    return inside


def polyline(points, half_width):
    parts = [segment(*points[i], *points[i + 1], half_width) for i in range(len(points) - 1)]
    return lambda x, y: any(p(x, y) for p in parts)


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            x1, y1 = points[i]
            x2, y2 = points[(i + 1) % n]
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                hit = not hit
        return hit
    return inside


def rect(x0, y0, x1, y1, radius=0.0):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + radius), x1 - radius)
        cy = min(max(y, y0 + radius), y1 - radius)
        return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius
    return inside


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def wedge(cx, cy, angle_deg, half_angle_deg):
    """Points seen from (cx, cy) within half_angle of a direction (0 = up)."""
    def inside(x, y):
        a = math.degrees(math.atan2(x - cx, cy - y))
        d = (a - angle_deg + 180) % 360 - 180
        return abs(d) <= half_angle_deg
    return inside


def grown(points, cx, cy, by):
    """The polygon pushed outwards from its centre, for outlines."""
    out = []
    for x, y in points:
        dx, dy = x - cx, y - cy
        n = math.hypot(dx, dy) or 1.0
        out.append((x + dx / n * by, y + dy / n * by))
    return out


# --- rendering ----------------------------------------------------------------

def render(width, height, layers):
    """layers: list of (shape, '#rrggbb'), bottom first."""
    pixels = []
    for py in range(height):
        row = []
        for px in range(width):
            best = None
            for shape, colour in reversed(layers):
                hits = sum(
                    shape(px + (i + 0.5) / SS, py + (j + 0.5) / SS)
                    for i in range(SS) for j in range(SS))
                if hits * 2 >= SS * SS:
                    best = colour
                    break
            row.append(best)
        pixels.append(row)
    return pixels


def to_xpm(name, pixels):
    colours = sorted({c for row in pixels for c in row if c is not None})
    keys = " .+@#$%&*=-;>,')!~{]^/(_:<[}|1234567890abcdefghijklmnopqrstuvwxyz"
    if len(colours) + 1 > len(keys):
        sys.exit(f"{name}: too many colours")
    key_of = {None: keys[0]}
    for i, c in enumerate(colours):
        key_of[c] = keys[i + 1]
    lines = ["/* XPM */", f"static const char *{name}[] = {{",
             f'"{len(pixels[0])} {len(pixels)} {len(colours) + 1} 1",',
             f'"{keys[0]}\tc None",']
    lines += [f'"{key_of[c]}\tc {c}",' for c in colours]
    rows = ['"' + "".join(key_of[c] for c in row) + '"' for row in pixels]
    lines.append(",\n".join(rows))
    lines.append("};")
    return "\n".join(lines) + "\n"


# --- the pictures -------------------------------------------------------------

def server_conn():
    return render(16, 16, [
        (disc(8, 8, 8.0), "#1E6B22"),
        (disc(8, 8, 6.7), "#35A83B"),
        (polyline([(4.4, 8.4), (7.0, 11.0), (11.8, 5.0)], 1.15), "#FFFFFF"),
    ])


def server_disc():
    # The grey band is cut wider than its dark edge, so the ends stay outlined.
    return render(16, 16, [
        (minus(ring(8, 8, 7.9, 3.4), wedge(8, 8, 0, 22)), "#404040"),
        (minus(ring(8, 8, 6.8, 4.5), wedge(8, 8, 0, 36)), "#B0B0B0"),
    ])


def server_err():
    tri = [(8, 0.6), (15.6, 14.8), (0.4, 14.8)]
    inner = [(8, 2.6), (13.9, 13.8), (2.1, 13.8)]
    return render(16, 16, [
        (polygon(tri), "#7A0F0F"),
        (polygon(inner), "#E02020"),
        (segment(8, 6.0, 8, 8.9, 1.0), "#FFFFFF"),
        (disc(8, 12.0, 1.0), "#FFFFFF"),
    ])


def server_mid():
    return render(16, 16, [
        (rect(1, 1, 15, 15, 2.5), "#8A5A00"),
        (rect(2, 2, 14, 14, 1.8), "#F0A820"),
        (disc(4.6, 8, 1.2), "#FFFFFF"),
        (disc(8, 8, 1.2), "#FFFFFF"),
        (disc(11.4, 8, 1.2), "#FFFFFF"),
    ])


def main_icon():
    # A serial plug on the left, a double arrow, a network socket on the right,
    # on a dark blue tile: a serial line bridged to TCP.
    plug = [(4, 11), (13, 11), (12, 21), (5, 21)]
    return render(32, 32, [
        (rect(0.5, 0.5, 31.5, 31.5, 5), "#123C6E"),
        (rect(1.5, 1.5, 30.5, 30.5, 4.2), "#2464B0"),
        (polygon(plug), "#FFFFFF"),
        (disc(6.8, 14.6, 1.0), "#2464B0"),
        (disc(10.2, 14.6, 1.0), "#2464B0"),
        (disc(8.5, 17.8, 1.0), "#2464B0"),
        (segment(14.5, 16, 19.5, 16, 0.9), "#FFD040"),
        (polygon([(13.2, 16), (15.8, 13.6), (15.8, 18.4)]), "#FFD040"),
        (polygon([(20.8, 16), (18.2, 13.6), (18.2, 18.4)]), "#FFD040"),
        (rect(21, 10, 29, 22, 1), "#FFFFFF"),
        (rect(22.5, 12.5, 27.5, 18.5, 0), "#2464B0"),
        (rect(23.8, 18, 26.2, 20.5, 0), "#2464B0"),
    ])


def varn():
    # The device: a grey case with a display showing a "Q" and two LEDs.
    q_ring = ring(16.5, 19.5, 7.2, 4.6)
    q_tail = segment(19.5, 23, 24, 27.5, 1.3)
    return render(49, 41, [
        (rect(1, 3, 47, 38, 5), "#3A3F47"),
        (rect(2.2, 4.2, 45.8, 36.8, 4), "#7C8591"),
        (rect(5, 8, 29, 31, 2), "#1F2A1F"),
        (rect(6.2, 9.2, 27.8, 29.8, 1.2), "#9CD48C"),
        (q_ring, "#1F4A1F"),
        (q_tail, "#1F4A1F"),
        (disc(38, 12, 2.4), "#1E6B22"),
        (disc(38, 12, 1.6), "#4CE060"),
        (disc(38, 20, 2.4), "#6B4A10"),
        (disc(38, 20, 1.6), "#F0B030"),
        (rect(33, 27, 43, 32, 1), "#2B2F35"),
        (rect(34.5, 28.3, 41.5, 30.7, 0.6), "#C8CCD2"),
    ])


ICONS = {
    "SERVER_CONN": server_conn,
    "SERVER_DISC": server_disc,
    "SERVER_ERR": server_err,
    "SERVER_MID": server_mid,
    "MAINICON": main_icon,
    "VARN": varn,
}


def main():
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res", "icons")
    os.makedirs(out_dir, exist_ok=True)
    for name, draw in ICONS.items():
        path = os.path.join(out_dir, name + ".xpm")
        with open(path, "w", encoding="ascii") as f:
            f.write(to_xpm(name, draw()))
        print(path)


if __name__ == "__main__":
    main()
