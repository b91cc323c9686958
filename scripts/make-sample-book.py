#!/usr/bin/env python3
"""Writes the small sample book in samples/book: pages, style, script,
images, a sound clip, nested folders. Run once; the output is committed."""
import math, os, random, struct, sys, wave, zlib

root = sys.argv[1] if len(sys.argv) > 1 else "samples/book"
rng = random.Random(1234)

def write(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)

def png(width, height, pixel):
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in pixel(x, y))
                    for y in range(height))
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))

pages = ["Morning", "The River", "Lanterns", "Home Again"]
nav = "".join(f'<li><a href="pages/page{i + 1}.html">{t}</a></li>'
              for i, t in enumerate(pages))
write("index.html", f"""<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>The Paper Boat</title>
<link rel="stylesheet" href="css/book.css"><script src="js/book.js" defer></script></head>
<body><h1 id="title">The Paper Boat</h1>
<img src="images/cover.png" alt="cover" width="320" height="240">
<ol id="contents">{nav}</ol>
<audio src="media/page-turn.wav" preload="auto"></audio>
</body></html>
""")
words = ("boat river paper morning light lantern water small wind sail "
         "home bank reed shadow evening bird bridge").split()
for i, title in enumerate(pages):
    text = " ".join(rng.choice(words) for _ in range(600))
    prev = f'<a href="page{i}.html">Back</a>' if i else '<a href="../index.html">Contents</a>'
    nxt = f'<a href="page{i + 2}.html">Next</a>' if i + 1 < len(pages) else ""
    write(f"pages/page{i + 1}.html", f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{title}</title>
<link rel="stylesheet" href="../css/book.css"><script src="../js/book.js" defer></script></head>
<body class="page"><h2>{title}</h2><p>{text}</p>
<img src="../images/illustrations/plate{i % 2 + 1}.png" alt="plate">
<nav>{prev} {nxt}</nav></body></html>
""")
write("css/book.css", """body { font-family: Georgia, serif; margin: 2em auto; max-width: 40em; }
h1, h2 { color: #20405a; }
.page p { line-height: 1.6; text-align: justify; }
img { display: block; margin: 1em auto; }
nav a { margin-right: 1em; }
""")
write("js/book.js", """// Turns pages with the arrow keys and plays the page-turn sound.
document.addEventListener('keydown', (event) => {
  const links = document.querySelectorAll('nav a');
  if (links.length === 0) return;
  const target = event.key === 'ArrowLeft' ? links[0] : links[links.length - 1];
  if (event.key === 'ArrowLeft' || event.key === 'ArrowRight') {
    window.location.href = target.href;
  }
});
document.title = document.title + ' \\u2014 preview';
""")
write("images/cover.png", png(320, 240, lambda x, y: (
    (x * 255) // 320, (y * 255) // 240, rng.randrange(256))))
write("images/illustrations/plate1.png", png(200, 150, lambda x, y: (
    rng.randrange(256), rng.randrange(256), rng.randrange(256))))
write("images/illustrations/plate2.png", png(160, 120, lambda x, y: (
    (x ^ y) & 255, (x * y) & 255, 128)))
rate = 22050
samples = b"".join(struct.pack("<h", int(12000 * math.exp(-3 * n / rate) *
                                         math.sin(2 * math.pi * 440 * n / rate)))
                   for n in range(rate))
os.makedirs(os.path.join(root, "media"), exist_ok=True)
with wave.open(os.path.join(root, "media/page-turn.wav"), "wb") as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(samples)
write("book.json", '{"title": "The Paper Boat", "pages": %d}\n' % len(pages))
write("data/empty.txt", b"")
