#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_flasher (the input layout is described at
the top of fuzz_flasher.cpp). Run it after changing that layout:
    tests/fuzz/make_corpus.py tests/fuzz/corpus/flasher
"""
import pathlib
import struct
import sys

NONE, PROGRAM_ONLY, ERASE, IMAGE, MISSING, DIRECTORY, ERASE_OTHER_CASE = range(7)
ALL, SERIAL, UPPER_ALL, EMPTY = range(4)
FULL, TIMEOUT, ERROR, SHORT, LONG, RAW = range(6)
SMALL, PAGES, ANY, TINY = range(4)


def seed(first, extra=(), usb_path=None, odd_program=False, failing_opens=0,
         size=(SMALL, 0), results=(), serial=b"SN01", content=b"\x5a\xa5\x3c"):
    flags = 0
    for i, kind in enumerate(extra):
        flags |= kind << (2 * i)
    if usb_path is not None:
        flags |= 0x40
    if odd_program:
        flags |= 0x80
    out = bytes([first | (len(extra) << 3), flags, failing_opens, size[0]])
    out += struct.pack("<I", size[1])
    out += bytes([len(results)])
    for index, kind, raw in results:
        out += struct.pack("<HBb", index, kind, raw)
    out += bytes([len(serial)]) + serial
    path = usb_path or b""
    out += bytes([len(path)]) + path
    return out + content


def pages(n, tail):
    """Size parameter for n whole pages and a tail (0, 16, 15, 17 or other)."""
    sel = {0: 0, 16: 1, 15: 2, 17: 3}.get(tail)
    if sel is None:
        return (PAGES, n | (4 << 8) | (tail << 16))
    return (PAGES, n | (sel << 8))


# Writes of a clean two-page image with a trailer: erase 0, zero bytes 1-2,
# page 0 header 3 and chunks 4-35, page 1 header 36 and chunks 37-68,
# trailer 69.
SEEDS = {
    "usage-argc-0": seed(NONE),
    "usage-argc-1": seed(PROGRAM_ONLY, odd_program=True),
    "erase": seed(ERASE),
    "erase-all-serial": seed(ERASE, (ALL, SERIAL)),
    "erase-serial-all": seed(ERASE, (SERIAL, ALL)),
    "erase-upper-all": seed(ERASE, (UPPER_ALL,)),
    "erase-empty-serial-usbpath": seed(ERASE, (EMPTY,), usb_path=b"20-1.2"),
    "erase-other-case": seed(ERASE_OTHER_CASE, (ALL,)),
    "missing-file": seed(MISSING, (ALL, SERIAL)),
    "directory": seed(DIRECTORY),
    "opens-fail-3": seed(ERASE, failing_opens=3),
    "opens-fail-4": seed(IMAGE, failing_opens=4, size=(SMALL, 300)),
    "image-0": seed(IMAGE, size=(SMALL, 0)),
    "image-5": seed(IMAGE, size=(TINY, 5)),
    "image-11": seed(IMAGE, size=(SMALL, 11)),
    "image-27-trailer-only": seed(IMAGE, size=(SMALL, 27)),
    "image-255": seed(IMAGE, size=(SMALL, 255)),
    "params-256": seed(IMAGE, (ALL, SERIAL), size=(SMALL, 256)),
    "image-257": seed(IMAGE, size=(SMALL, 257)),
    "image-1-page": seed(IMAGE, size=pages(1, 0)),
    "image-1-page-trailer": seed(IMAGE, (ALL,), size=pages(1, 16)),
    "image-1-page-tail-20": seed(IMAGE, size=pages(1, 20)),
    "image-1-page-tail-15": seed(IMAGE, size=pages(1, 15)),
    "image-3-pages-trailer": seed(IMAGE, (SERIAL,), size=pages(3, 16)),
    "image-239-pages-trailer": seed(IMAGE, size=pages(239, 16)),
    "image-240-pages": seed(IMAGE, size=pages(240, 0)),
    "image-240-pages-trailer": seed(IMAGE, size=pages(240, 16)),
    "image-241-pages": seed(IMAGE, size=pages(241, 0)),
    "image-245-pages-tail": seed(IMAGE, size=pages(245, 17)),
    "erase-times-out": seed(IMAGE, size=pages(2, 16), results=[(0, TIMEOUT, 0)]),
    "erase-long": seed(IMAGE, size=pages(2, 16), results=[(0, LONG, 0)]),
    "zero-bytes-fail": seed(IMAGE, size=pages(2, 16), results=[(1, ERROR, 0), (2, TIMEOUT, 0)]),
    "page-0-header-fails": seed(IMAGE, size=pages(2, 16), results=[(3, ERROR, 0)]),
    "page-0-chunk-short": seed(IMAGE, size=pages(2, 16), results=[(9, SHORT, 0)]),
    "page-1-last-chunk-raw": seed(IMAGE, size=pages(2, 16), results=[(68, RAW, 9)]),
    "trailer-fails": seed(IMAGE, size=pages(2, 16), results=[(69, ERROR, 0)]),
    "two-failures": seed(IMAGE, size=pages(2, 16), results=[(40, SHORT, 0), (20, TIMEOUT, 0)]),
    "erase-only-fails": seed(ERASE, (ALL,), results=[(0, ERROR, 0)]),
    "params-announce-fails": seed(IMAGE, size=(SMALL, 256), results=[(0, TIMEOUT, 0)]),
    "params-block-short": seed(IMAGE, size=(SMALL, 256), results=[(1, SHORT, 0)]),
    "params-block-long": seed(IMAGE, size=(SMALL, 256), results=[(1, LONG, 0)]),
    "long-serial-usbpath": seed(ERASE, (ALL, SERIAL), serial=b"S" * 255, usb_path=b"1-" + b"9." * 126 + b"9"),
    "non-ascii-serial": seed(IMAGE, (SERIAL, ALL), serial="s\u00e9rie-\u2713".encode(), size=(SMALL, 40)),
}

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "corpus/flasher")
out.mkdir(parents=True, exist_ok=True)
for name, data in SEEDS.items():
    (out / name).write_bytes(data)
