#!/usr/bin/env python3
"""A second, independent implementation of the sealed book format (XXTEA key
sealing, header layout, RC4 body) in plain Python, used to cross-check the
C++ tool in both directions.

usage: oracle.py BOOKSEAL SEAL_WITH_KEY
  BOOKSEAL       the bookseal program
  SEAL_WITH_KEY  test helper: SEAL_WITH_KEY KEYTEXT SRC DST seals with a
                 given key text
Exits 0 when every check passes, 1 otherwise.
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

MAGIC = b"9PAGEVUBINMC"
SEALING_KEY = struct.unpack("<4I", bytes.fromhex("5A17C308E1942B7D66F03CA941D28E0B"))
DELTA = 0x9E3779B9
MASK = 0xFFFFFFFF


def mx(y, z, total, p, e):
    left = ((z >> 5) ^ ((y << 2) & MASK)) + ((y >> 3) ^ ((z << 4) & MASK))
    right = (total ^ y) + (SEALING_KEY[(p & 3) ^ e] ^ z)
    return ((left & MASK) ^ (right & MASK)) & MASK


def xxtea_encrypt(v):
    n = len(v)
    total, z = 0, v[n - 1]
    for _ in range(6 + 52 // n):
        total = (total + DELTA) & MASK
        e = (total >> 2) & 3
        for p in range(n):
            y = v[(p + 1) % n]
            v[p] = (v[p] + mx(y, z, total, p, e)) & MASK
            z = v[p]


def xxtea_decrypt(v):
    n = len(v)
    cycles = 6 + 52 // n
    total, y = (cycles * DELTA) & MASK, v[0]
    for _ in range(cycles):
        e = (total >> 2) & 3
        for p in range(n - 1, -1, -1):
            z = v[(p - 1) % n]
            v[p] = (v[p] - mx(y, z, total, p, e)) & MASK
            y = v[p]
        total = (total - DELTA) & MASK


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 255
        s[i], s[j] = s[j], s[i]
    out = bytearray(len(data))
    i = j = 0
    for at, byte in enumerate(data):
        i = (i + 1) & 255
        j = (j + s[i]) & 255
        s[i], s[j] = s[j], s[i]
        out[at] = byte ^ s[(s[i] + s[j]) & 255]
    return bytes(out)


def seal_header(key_text, version=1, lowercase=False):
    words = list(struct.unpack("<%dI" % (len(key_text) // 4), key_text))
    xxtea_encrypt(words)
    text = struct.pack("<%dI" % len(words), *words).hex()
    text = text if lowercase else text.upper()
    return MAGIC + struct.pack("<I", version) + text.encode().ljust(128, b"\0")


def unseal_header(header):
    assert header[:12] == MAGIC, "wrong magic"
    text = header[16:144].split(b"\0")[0]
    raw = bytearray(bytes.fromhex(text.decode()))
    n = len(text) // 8
    words = list(struct.unpack("<%dI" % n, bytes(raw[: 4 * n])))
    xxtea_decrypt(words)
    raw[: 4 * n] = struct.pack("<%dI" % n, *words)
    return bytes(raw).split(b"\0")[0]


def seal(key_text, plain, **header_options):
    return seal_header(key_text, **header_options) + rc4(key_text, plain)


def unseal(sealed):
    return rc4(unseal_header(sealed[:144]), sealed[144:])


class Checker:
    def __init__(self, bookseal, sealer, scratch):
        self.bookseal, self.sealer, self.scratch = bookseal, sealer, scratch
        self.failures = 0
        self.count = 0

    def path(self, name):
        return os.path.join(self.scratch, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def expect(self, ok, what):
        self.count += 1
        if not ok:
            self.failures += 1
            print("FAIL:", what)

    def run(self, *args):
        return subprocess.run(list(args)).returncode

    def ours_seal_with_key_matches(self, key_text, plain):
        src = self.write("plain", plain)
        status = self.run(self.sealer, key_text.decode(), src, self.path("ours"))
        self.expect(status == 0, "seal with key %s exits 0" % key_text)
        self.expect(self.read("ours") == seal(key_text, plain),
                    "sealed bytes match for key %s, %d bytes" % (key_text, len(plain)))

    def ours_unseals(self, sealed, plain, what):
        src = self.write("theirs", sealed)
        status = self.run(self.bookseal, "-d", src, self.path("back"))
        self.expect(status == 0, "unseal exits 0: " + what)
        self.expect(status == 0 and self.read("back") == plain, "unsealed bytes: " + what)

    def theirs_unseals_ours(self, plain):
        src = self.write("plain", plain)
        status = self.run(self.bookseal, "-e", src, self.path("ours"))
        self.expect(status == 0, "bookseal -e exits 0")
        sealed = self.read("ours")
        key_text = unseal_header(sealed)
        self.expect(len(key_text) == 32 and all(c in b"0123456789abcdef" for c in key_text),
                    "tool key text is 32 lowercase hex: %r" % key_text)
        self.expect(unseal(sealed) == plain, "oracle unseals tool output, %d bytes" % len(plain))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    generator = random.Random(20240501)
    plains = [bytes(generator.getrandbits(8) for _ in range(size)) for size in (1, 2, 4099, 65536)]
    key_texts = [b"k" * 8, b"0123456789ABCDEF", b"0123456789abcdef0123456789abcdef",
                 b"fedcba9876543210fedcba9876543210fedcba98",
                 bytes(generator.choice(b"0123456789abcdef") for _ in range(64))]
    with tempfile.TemporaryDirectory() as scratch:
        checker = Checker(sys.argv[1], sys.argv[2], scratch)
        for key_text in key_texts:
            for plain in plains[:3]:
                checker.ours_seal_with_key_matches(key_text, plain)
            checker.ours_unseals(seal(key_text, plains[2]), plains[2], "key %s" % key_text)
        checker.ours_unseals(seal(key_texts[2], plains[3], lowercase=True), plains[3], "lowercase field")
        checker.ours_unseals(seal(key_texts[2], plains[0], version=7), plains[0], "version 7")
        for plain in plains:
            checker.theirs_unseals_ours(plain)
    print("%d checks, %d failed" % (checker.count, checker.failures))
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())
