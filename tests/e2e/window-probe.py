#!/usr/bin/env python3
"""Looks at the tuner's window for the end-to-end tests: reads its pixels from a screenshot and
asks it to close as a window manager would.

  window-probe.py close WINDOW_ID        send WM_DELETE_WINDOW (the window must take part in it)
  window-probe.py spectrum SHOT.ppm      spectrum pixels of the centre chart and the column of
                                         its topmost one: "count x y", or "0 -1 -1"
  window-probe.py pointer SHOT.ppm       bounding box of the red pointer over the piano:
                                         "left top width height", or "none"
  window-probe.py markers SHOT.ppm       marker lines on the centre chart: "count grey spacing"
  window-probe.py caption SHOT.ppm       columns of the sound-mode caption's text: "first last",
                                         or "none"

Screenshots are binary PPM files (ImageMagick's `import -window ID ppm:FILE`) of the whole
client area. Only the standard library is used: Xlib through ctypes, so nothing beyond the X
client library that Qt already needs has to be installed.
"""

import ctypes
import re
import sys

# Client-area layout, top to bottom.
CLIENT_WIDTH = 600
SPEC_TOP = 249
SPEC_HEIGHT = 222
SOUND_MODE_TOP = 471 + 4
SOUND_MODE_HEIGHT = 15
SOUND_MODE_WIDTH = 236
PIANO_TOP = 510
PIANO_HEIGHT = 63

BLACK = b"\x00\x00\x00"
SEMITONE_LINE = b"\x00\x28\x00"
CENTRE_MARKER = b"\x50\x50\x50"
RED = b"\xff\x00\x00"
NOT_SPECTRUM = (BLACK, SEMITONE_LINE, CENTRE_MARKER)
# A row of nothing but those, matched three bytes at a time.
NO_SPECTRUM_ROW = re.compile(b"(?:" + b"|".join(re.escape(c) for c in NOT_SPECTRUM) + b")*")


class Shot:
    """A screenshot: pixel(x, y) is its three bytes r, g, b."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos : pos + 1].isspace():
                pos += 1
            if data[pos : pos + 1] == b"#":
                while data[pos : pos + 1] not in (b"\n", b""):
                    pos += 1
                continue
            start = pos
            while data[pos : pos + 1] and not data[pos : pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise SystemExit(f"{path}: not an 8-bit binary PPM")
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[pos + 1 :]
        if len(self.pixels) < self.width * self.height * 3:
            raise SystemExit(f"{path}: truncated")
        # Only the client area counts, whatever a platform adds around it.
        self.columns = range(min(CLIENT_WIDTH, self.width))

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return self.pixels[at : at + 3]

    def row(self, y):
        at = y * self.width * 3
        return self.pixels[at : at + len(self.columns) * 3]

    def rows(self, top, height):
        return range(top, min(top + height, self.height))


def spectrum(path):
    shot = Shot(path)
    count = 0
    top = None
    # The markers and the black background are not spectrum, whatever colour the analyser gave
    # the line.
    for y in shot.rows(SPEC_TOP, SPEC_HEIGHT):
        if NO_SPECTRUM_ROW.fullmatch(shot.row(y)):
            continue
        lit = [x for x in shot.columns if shot.pixel(x, y) not in NOT_SPECTRUM]
        count += len(lit)
        if lit and top is None:
            # The topmost row may hold a short flat run at the peak: its middle.
            top = ((lit[0] + lit[-1]) // 2, y - SPEC_TOP)
    if top is None:
        print("0 -1 -1")
    else:
        print(count, top[0], top[1])


def pointer(path):
    shot = Shot(path)
    xs, ys = [], []
    for y in shot.rows(PIANO_TOP, PIANO_HEIGHT):
        for x in shot.columns:
            if shot.pixel(x, y) == RED:
                xs.append(x)
                ys.append(y - PIANO_TOP)
    if not xs:
        print("none")
    else:
        print(min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)


def caption(path):
    """Dark text where LabelSoundMode sits (PanelDown at 4, 4), left of the next label at 240."""
    shot = Shot(path)
    xs = [
        x
        for y in shot.rows(SOUND_MODE_TOP, SOUND_MODE_HEIGHT)
        for x in range(SOUND_MODE_WIDTH)
        if max(shot.pixel(x, y)) < 128
    ]
    print(f"{min(xs)} {max(xs)}" if xs else "none")


def markers(path):
    """A marker is a column of marker colour down most of the chart. The spectrum crosses a
    column on a few rows only, so it cannot hide a marker; its floor near the bottom is skipped.
    """
    shot = Shot(path)
    rows = shot.rows(SPEC_TOP + 5, SPEC_HEIGHT - 45)
    lines = []  # [first column, last column, grey]
    for x in shot.columns:
        column = [shot.pixel(x, y) for y in rows]
        green = column.count(SEMITONE_LINE)
        grey = column.count(CENTRE_MARKER)
        if max(green, grey) * 2 < len(column):
            continue
        is_grey = grey > green
        if lines and lines[-1][1] == x - 1 and lines[-1][2] == is_grey:
            lines[-1][1] = x
        else:
            lines.append([x, x, is_grey])
    centres = [(a + b) / 2 for a, b, _ in lines]
    spacing = (centres[-1] - centres[0]) / (len(centres) - 1) if len(centres) > 1 else 0
    greys = [round(c) for (a, b, g), c in zip(lines, centres) if g]
    print(len(lines), greys[0] if len(greys) == 1 else -1, f"{spacing:.1f}")


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def close(window_text):
    """What a window manager does when the user closes a window: a WM_PROTOCOLS client message
    carrying WM_DELETE_WINDOW, sent only to a window that lists that protocol."""
    import ctypes.util  # only here: it takes longer to load than a pixel probe takes to run

    name = ctypes.util.find_library("X11") or "libX11.so.6"
    x11 = ctypes.CDLL(name)
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetWMProtocols.argtypes = [
        ctypes.c_void_p,
        ctypes.c_ulong,
        ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
        ctypes.POINTER(ctypes.c_int),
    ]
    x11.XSendEvent.argtypes = [
        ctypes.c_void_p,
        ctypes.c_ulong,
        ctypes.c_int,
        ctypes.c_long,
        ctypes.POINTER(XEvent),
    ]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    display = x11.XOpenDisplay(None)
    if not display:
        raise SystemExit("window-probe: cannot open the display")
    window = int(window_text, 0)
    protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    delete = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)

    listed = ctypes.POINTER(ctypes.c_ulong)()
    count = ctypes.c_int()
    takes_part = False
    if x11.XGetWMProtocols(display, window, ctypes.byref(listed), ctypes.byref(count)):
        takes_part = any(listed[i] == delete for i in range(count.value))
        x11.XFree(listed)
    if not takes_part:
        raise SystemExit(f"window-probe: window {window_text} does not list WM_DELETE_WINDOW")

    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = protocols
    event.xclient.format = 32
    event.xclient.data[0] = delete
    event.xclient.data[1] = 0  # CurrentTime
    if not x11.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
        raise SystemExit("window-probe: XSendEvent failed")
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)


def main():
    commands = {
        "close": close,
        "spectrum": spectrum,
        "pointer": pointer,
        "markers": markers,
        "caption": caption,
    }
    if len(sys.argv) != 3 or sys.argv[1] not in commands:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    commands[sys.argv[1]](sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
