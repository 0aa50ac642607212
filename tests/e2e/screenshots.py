"""The status window as the X display shows it: PNG screenshots cropped to the
window, and real mouse and keyboard input through the XTEST extension of the
session's Xvfb (Wine turns it into ordinary input messages, so a click on a
tab makes the tab control itself send its notifications)."""
import ctypes
import os
import subprocess
import unittest

from harness import BUILD_DIR, fields, run_windriver, wine_env

SCREENSHOT_DIR = os.path.join(BUILD_DIR, "screenshots")

# X key symbols.
XK_LEFT = 0xFF51
XK_RIGHT = 0xFF53


def display():
    with open(os.path.join(wine_env()["KORVEN_WINE_DIR"], "display")) as f:
        return f.read().strip()


def window_rect():
    """The status window's rectangle (left, top, right, bottom) in screen
    pixels, which are the X root window's pixels."""
    code, lines = run_windriver("find")
    if code != 0:
        raise AssertionError(f"windriver find failed: {lines}")
    return tuple(int(v) for v in fields(lines[0])["rect"].split(","))


def save_window(name, rect=None):
    """Saves the status window, cut from the root window, as <name>.png in the
    build's screenshot folder; returns the path."""
    left, top, right, bottom = rect or window_rect()
    left, top = max(left, 0), max(top, 0)
    os.makedirs(SCREENSHOT_DIR, exist_ok=True)
    path = os.path.join(SCREENSHOT_DIR, name + ".png")
    grab = subprocess.run(["xwd", "-root", "-silent", "-display", display()],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, check=True)
    subprocess.run(["convert", "xwd:-", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                    "+repage", "-strip", "png:" + path],
                   input=grab.stdout, stderr=subprocess.PIPE, timeout=30, check=True)
    return path


def console_text_rows(rect):
    """How many rows of text a console window shows: runs of pixel rows with
    light pixels in its client area (the window less its caption, frame and
    scroll bars), light text on the console's black."""
    left, top, right, bottom = rect
    left, top = left + 4, top + 22
    right, bottom = right - 22, bottom - 22
    grab = subprocess.run(["xwd", "-root", "-silent", "-display", display()],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, check=True)
    width, height = right - left, bottom - top
    # One byte a pixel, row after row.
    pixels = subprocess.run(["convert", "xwd:-", "-crop", f"{width}x{height}+{left}+{top}", "+repage",
                             "-colorspace", "Gray", "-depth", "8", "gray:-"],
                            input=grab.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=30, check=True).stdout
    rows, inked = 0, False
    for y in range(height):
        ink = max(pixels[y * width:(y + 1) * width], default=0) > 128
        rows += ink and not inked
        inked = ink
    return rows


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError(f"{path} is not a PNG file")
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


class XInput:
    """Pointer and keyboard events injected into the session's display."""

    def __init__(self):
        try:
            self._x11 = ctypes.CDLL("libX11.so.6")
            self._xtst = ctypes.CDLL("libXtst.so.6")
        except OSError as error:
            raise unittest.SkipTest(f"no XTEST client library: {error}")
        x11, xtst = self._x11, self._xtst
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        xtst.XTestQueryExtension.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_int)] * 4
        xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                              ctypes.c_int, ctypes.c_ulong]
        xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                              ctypes.c_ulong]
        xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                           ctypes.c_ulong]
        self._dpy = x11.XOpenDisplay(display().encode())
        if not self._dpy:
            raise AssertionError(f"cannot open X display {display()}")
        n = [ctypes.c_int() for _ in range(4)]
        if not xtst.XTestQueryExtension(self._dpy, *[ctypes.byref(v) for v in n]):
            self.close()
            raise unittest.SkipTest("the X server has no XTEST extension")

    def click(self, x, y):
        self._xtst.XTestFakeMotionEvent(self._dpy, -1, int(x), int(y), 0)
        self._xtst.XTestFakeButtonEvent(self._dpy, 1, 1, 0)
        self._xtst.XTestFakeButtonEvent(self._dpy, 1, 0, 0)
        self._x11.XSync(self._dpy, 0)

    def key(self, keysym):
        code = self._x11.XKeysymToKeycode(self._dpy, keysym)
        if code == 0:
            raise AssertionError(f"no key code for key symbol {keysym:#x}")
        self._xtst.XTestFakeKeyEvent(self._dpy, code, 1, 0)
        self._xtst.XTestFakeKeyEvent(self._dpy, code, 0, 0)
        self._x11.XSync(self._dpy, 0)

    def close(self):
        if self._dpy:
            self._x11.XCloseDisplay(self._dpy)
            self._dpy = None

