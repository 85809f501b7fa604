#!/usr/bin/env python3
"""Renders spoolsync-sim's picture of a scenario in a real browser (headless
Chromium) and checks what a person would see: the image is not blank, the
bands are painted in their colours, and every lane's label is drawn.

A label counts as drawn when the pixels of its place differ between the
picture and the same picture with the labels taken out, and the picture has
dark (text) pixels there: a label that is missing, empty, outside the image
or in a font the browser cannot draw fails.

With --band KIND=STATE (repeatable), every band of that state in the lanes
of that kind must be there and painted in its colour where the picture puts
it, with its name or, where no name fits, its mark drawn; with --entries N,
the Event Log lane must hold N entries, each painted in its type's colour
with its id written beside it.

Exit status: 0 held, 1 failed, 77 skipped (no Chromium here; the reason is
printed). Usage:
  picture_in_browser.py --runner SPOOLSYNC_SIM --scenario FILE --work DIR
                        [--band KIND=STATE]... [--entries N]
"""

import argparse
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

SVG = "http://www.w3.org/2000/svg"
SKIPPED = 77
# Below the picture the window keeps a margin: headless Chromium paints only
# part of a window much lower than a few hundred pixels.
WINDOW_MARGIN = 100
CHAR_WIDTH = 7  # the picture's own estimate for its 11 px monospace text
FONT_SIZE = 11


def fail(why):
    print("FAILED: " + why)
    sys.exit(1)


def find_browser():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def render(browser, svg_path, png_path, width, height, work):
    profile = tempfile.mkdtemp(prefix="profile-", dir=work)
    try:
        command = [
            browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--force-device-scale-factor=1", "--hide-scrollbars", "--user-data-dir=" + profile,
            "--screenshot=" + str(png_path), "--window-size=%d,%d" % (width, height), svg_path.as_uri(),
        ]
        run = subprocess.run(command, capture_output=True, text=True, timeout=120)
        if run.returncode != 0 or not png_path.exists():
            fail("chromium did not write %s (exit %d):\n%s" % (png_path, run.returncode, run.stderr[-2000:]))
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def read_png(path):
    """The image as rows of (r, g, b) tuples; 8-bit RGB or RGBA, not interlaced."""
    data = path.read_bytes()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("%s is not a PNG" % path)
    at, idat, header = 8, b"", None
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        fail("unexpected PNG format: depth %d, colour type %d, interlace %d" % (depth, colour, interlace))
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * step
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            corner = previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                guess = left + up - corner
                pa, pb, pc = abs(guess - left), abs(guess - up), abs(guess - corner)
                nearest = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + nearest) & 0xFF
        rows.append([tuple(line[x * step:x * step + 3]) for x in range(width)])
        previous = line
    return rows


def main():
    arguments = argparse.ArgumentParser()
    arguments.add_argument("--runner", required=True)
    arguments.add_argument("--scenario", required=True)
    arguments.add_argument("--work", required=True)
    arguments.add_argument("--band", action="append", default=[], help="KIND=STATE: those bands must be painted")
    arguments.add_argument("--entries", type=int, help="how many Event Log entries must be painted")
    options = arguments.parse_args()

    browser = find_browser()
    if browser is None:
        print("skipped: no Chromium on this machine (scripts/install-deps.sh browser installs Debian's chromium)")
        return SKIPPED

    work = pathlib.Path(options.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    picture = work / "picture.svg"
    run = subprocess.run([options.runner, "--quiet", "--svg", str(picture), options.scenario],
                         capture_output=True, text=True)
    if run.returncode != 0:
        fail("spoolsync-sim exited %d:\n%s%s" % (run.returncode, run.stdout, run.stderr))

    ET.register_namespace("", SVG)
    tree = ET.parse(picture)
    root = tree.getroot()
    width, height = int(root.get("width")), int(root.get("height"))

    labels = []  # (lane, text, x, baseline)
    for lane in root.iter("{%s}g" % SVG):
        if lane.get("class") != "lane":
            continue
        found = [t for t in lane.findall("{%s}text" % SVG) if t.get("class") == "lane-label"]
        if len(found) != 1:
            fail("lane %s %s has %d labels" % (lane.get("data-lane"), lane.get("data-subject"), len(found)))
        label = found[0]
        labels.append((lane, label.text or "", int(label.get("x")), int(label.get("y"))))
    if len(labels) < 9:
        fail("only %d lanes in the picture" % len(labels))

    bare = work / "no-labels.svg"
    for lane, _, _, _ in labels:
        for label in [t for t in lane.findall("{%s}text" % SVG) if t.get("class") == "lane-label"]:
            lane.remove(label)
    tree.write(bare, encoding="UTF-8", xml_declaration=True)

    window = (width, height + WINDOW_MARGIN)
    render(browser, picture, work / "picture.png", *window, work)
    render(browser, bare, work / "no-labels.png", *window, work)
    full = read_png(work / "picture.png")
    without = read_png(work / "no-labels.png")
    if len(full) != window[1] or len(full[0]) != window[0]:
        fail("the screenshot is %dx%d, not %dx%d" % (len(full[0]), len(full), *window))

    # Not blank: much of the picture is painted, in many colours, among them
    # the fills of its bands.
    white = (255, 255, 255)
    area = [pixel for row in full[:height] for pixel in row]
    painted = sum(1 for pixel in area if pixel != white)
    colours = set(area)
    fills = {rect.get("fill") for rect in root.iter("{%s}rect" % SVG) if rect.get("fill", "").startswith("#")}
    fills = {tuple(int(fill[i:i + 2], 16) for i in (1, 3, 5)) for fill in fills} - {white}
    shown = fills & colours
    print("picture %dx%d: %d of %d pixels painted, %d colours, %d of %d fills seen"
          % (width, height, painted, len(area), len(colours), len(shown), len(fills)))
    if painted < len(area) // 5 or len(colours) < 8:
        fail("the picture looks blank")
    if shown != fills:
        fail("fills never painted: %s" % sorted("#%02x%02x%02x" % f for f in fills - shown))
    below = [pixel for row in full[height:] for pixel in row]
    if any(pixel != white for pixel in below):
        fail("something is painted below the picture's own height")

    for _, text, x, baseline in labels:
        letters = sum(1 for c in text if not c.isspace())
        left, right = max(x - 1, 0), min(x + len(text) * CHAR_WIDTH + 2, width)
        top, bottom = max(baseline - FONT_SIZE, 0), min(baseline + 4, height)
        changed = dark = 0
        for y in range(top, bottom):
            for column in range(left, right):
                changed += full[y][column] != without[y][column]
                dark += sum(full[y][column]) < 3 * 128
        print("label %-40r %3d changed pixels, %3d dark" % (text, changed, dark))
        if letters == 0 or changed < 2 * letters or dark < letters:
            fail("the label %r is not drawn where the picture puts it (x %d, baseline %d)" % (text, x, baseline))
    print("every lane's label is drawn")

    for wanted in options.band:
        kind, _, state = wanted.partition("=")
        check_bands(root, full, kind, state)
    if options.entries is not None:
        check_entries(root, full, options.entries)
    return 0


def colour(fill):
    return tuple(int(fill[i:i + 2], 16) for i in (1, 3, 5))


def dark_pixels(image, left, top, right, bottom):
    return sum(1 for y in range(max(top, 0), bottom) for x in range(max(left, 0), right) if sum(image[y][x]) < 3 * 128)


def check_bands(root, image, kind, state):
    """Every band of `state` in lanes of `kind`: its colour painted over most
    of its place, and its name (dark text) or its mark drawn."""
    bands = []
    for lane in root.iter("{%s}g" % SVG):
        if lane.get("class") != "lane" or lane.get("data-lane") != kind:
            continue
        bands += [g for g in lane.iter("{%s}g" % SVG) if g.get("class") == "band" and g.get("data-state") == state]
    if not bands:
        fail("no %s band %r in the picture" % (kind, state))
    for band in bands:
        rects = {r.get("class"): r for r in band.findall("{%s}rect" % SVG)}
        rect = rects[None]
        left, top = float(rect.get("x")), int(rect.get("y"))
        right, bottom = left + float(rect.get("width")), top + int(rect.get("height"))
        inner = range(int(left) + 1, max(int(right) - 1, int(left) + 2))
        fill = colour(rect.get("fill"))
        rows = range(top + 15, bottom - 1)  # below the text
        painted = sum(1 for y in rows for x in inner if image[y][x] == fill)
        if painted * 2 < len(inner) * len(rows):
            fail("the %s band %r from %s ms is not painted: %d of %d pixels in its colour"
                 % (kind, state, band.get("data-from-ms"), painted, len(inner) * len(rows)))
        name = [t for t in band.findall("{%s}text" % SVG) if t.get("class") == "band-name"]
        if name:
            dark = dark_pixels(image, int(left), top, int(right), top + 15)
        else:
            mark = rects.get("band-mark")
            if mark is None:
                fail("the %s band %r from %s ms has neither a name nor a mark" % (kind, state, band.get("data-from-ms")))
            mark_left = int(float(mark.get("x")))
            dark = dark_pixels(image, mark_left - 1, int(mark.get("y")), mark_left + 3, int(mark.get("y")) + 6)
        if dark == 0:
            fail("the %s band %r from %s ms shows no %s" % (kind, state, band.get("data-from-ms"),
                                                          "name" if name else "mark"))
    print("%d %s bands %r painted, each with its name or mark" % (len(bands), kind, state))


def check_entries(root, image, count):
    """The Event Log lane's marks: `count` of them, each in its colour, its id
    written beside it, its message in its hover title."""
    lanes = [g for g in root.iter("{%s}g" % SVG) if g.get("class") == "lane" and g.get("data-lane") == "event-log"]
    if len(lanes) != 1:
        fail("%d Event Log lanes" % len(lanes))
    marks = [g for g in lanes[0].iter("{%s}g" % SVG) if g.get("class") == "mark"]
    if len(marks) != count:
        fail("%d Event Log entries drawn, not %d" % (len(marks), count))
    for mark in marks:
        rect = mark.find("{%s}rect" % SVG)
        x, top = int(float(rect.get("x")) + 1), int(rect.get("y"))
        if image[top + 10][x] != colour(rect.get("fill")):
            fail("entry %s at %s ms is not painted" % (mark.get("data-event-id"), mark.get("data-at-ms")))
        label = mark.find("{%s}text" % SVG)
        if label is None or label.text != mark.get("data-event-id"):
            fail("entry %s at %s ms has no id beside it" % (mark.get("data-event-id"), mark.get("data-at-ms")))
        left = int(float(label.get("x")))
        if dark_pixels(image, left, top, left + len(label.text) * CHAR_WIDTH, top + 15) == 0:
            fail("the id of entry %s is not drawn" % mark.get("data-event-id"))
        title = mark.find("{%s}title" % SVG).text or ""
        message = title.partition(mark.get("data-event-id") + ": ")[2]
        if mark.get("data-event-type") not in title or len(message) < 20 or message.startswith("(no message"):
            fail("entry %s's hover title lacks its type or message: %r" % (mark.get("data-event-id"), title))
    print("%d Event Log entries painted, each with its id" % len(marks))


if __name__ == "__main__":
    sys.exit(main())
