#!/usr/bin/env python3
"""Writes the two benchmark corpora (skipped when already there).

    make_corpus.py book DIR    about 150 MiB like a book's resources: text
                               pages, incompressible images, a few large
                               video-like files, nested folders
    make_corpus.py small DIR   20,000 files of 0 to 4 KiB in 200 folders
"""
import os
import random
import sys

WORDS = ("the page turns and a chapter opens on the quiet harbour where "
         "boats lean into morning light while readers follow every line "
         "of the story towards its end").split()


def text(rng, size):
    out = []
    n = 0
    while n < size:
        w = rng.choice(WORDS)
        out.append(w)
        n += len(w) + 1
    return (" ".join(out)[:size]).encode()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def book(root):
    rng = random.Random(1)
    for chapter in range(30):
        base = os.path.join(root, "OEBPS", "chapter%02d" % chapter)
        for page in range(10):
            write(os.path.join(base, "page%02d.xhtml" % page),
                  text(rng, rng.randint(20000, 80000)))
        for image in range(7):
            write(os.path.join(base, "images", "img%02d.jpg" % image),
                  os.urandom(rng.randint(150000, 450000)))
    write(os.path.join(root, "OEBPS", "style", "book.css"), text(rng, 30000))
    for video in range(3):
        write(os.path.join(root, "media", "clip%d.mp4" % video),
              os.urandom(22 * 1024 * 1024))


def small(root):
    rng = random.Random(2)
    for i in range(20000):
        size = rng.randint(0, 4096)
        data = text(rng, size) if i % 2 else os.urandom(size)
        write(os.path.join(root, "d%03d" % (i % 200), "f%05d.bin" % i), data)


if __name__ == "__main__":
    kind, root = sys.argv[1], sys.argv[2]
    if not os.path.exists(os.path.join(root, ".complete")):
        {"book": book, "small": small}[kind](root)
        open(os.path.join(root, ".complete"), "w").close()
