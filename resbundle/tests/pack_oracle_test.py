#!/usr/bin/env python3
"""Checks the pack core against the independent reader in packoracle.py.

    pack_oracle_test.py PACK_DRIVER PACKORACLE

1. Packs a varied folder into an odd-length host with the core; the oracle
   checks every byte rule of a fresh pack and restores the same files.
2. Packs again (a merge); the oracle checks the header stayed put, two
   groups are listed and the newer copy of a changed file wins.
3. The oracle writes a pack; the core restores it, and merges into it.
Prints '<n> passed, <m> failed' and exits non-zero on any failure.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

driver, oracle_path = sys.argv[1], sys.argv[2]
sys.dont_write_bytecode = True  # Leave nothing in the source tree.
sys.path.insert(0, os.path.dirname(os.path.abspath(oracle_path)))
import packoracle as oracle  # noqa: E402

passed = failed = 0


def check(name, condition, detail=""):
    global passed, failed
    if condition:
        passed += 1
    else:
        failed += 1
        print("FAIL " + name + (": " + detail if detail else ""))


def tree(root):
    files = {}
    for top, _, names in os.walk(root):
        for name in names:
            full = os.path.join(top, name)
            with open(full, "rb") as f:
                files[os.path.relpath(full, root)] = f.read()
    return files


def run(*args):
    return subprocess.run([driver, *args]).returncode


def make_folder(root):
    rng = random.Random(5)
    contents = {
        "index.html": b"<html>" + b"page " * 5000 + b"</html>",
        ".hidden": b"dot file",
        "empty.txt": b"",
        "media/piece.bin": bytes(rng.getrandbits(8) for _ in range(65536)),
        "media/two-pieces.bin": b"ab" * 65536,
        "media/odd.bin": bytes(rng.getrandbits(8) for _ in range(70001)),
        "deep/a/b/c/leaf.txt": "unicode name ü".encode(),
        "names/with space & amp.txt": b"x",
    }
    for sub, data in contents.items():
        path = os.path.join(root, sub)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return contents


def main():
    work = tempfile.mkdtemp(prefix="pack-oracle-")
    try:
        src = os.path.join(work, "src")
        contents = make_folder(src)
        host = os.path.join(work, "host.bin")
        host_bytes = b"host" * 250 + b"odd"  # 1003 bytes
        with open(host, "wb") as f:
            f.write(host_bytes)

        # 1. A fresh pack made by the core.
        check("core packs", run("pack", host, src) == 0)
        try:
            out = os.path.join(work, "oracle-out")
            summary = oracle.read_pack(host, out, fresh=True)
            check("header at the host's length", summary["header"] == 1003)
            check("one group", summary["groups"] == 1)
            first = [r for r in summary["records"] if r["length"]][0]
            check("first data at 460", first["offset"] == 460)
            check("files restored by the oracle",
                  tree(out) == contents, str(sorted(tree(out))))
            with open(host, "rb") as f:
                check("host bytes kept", f.read(1003) == host_bytes)
        except oracle.Bad as e:
            check("oracle accepts the fresh pack", False, str(e))

        # 2. A merge.
        with open(os.path.join(src, "index.html"), "wb") as f:
            f.write(b"changed")
        contents["index.html"] = b"changed"
        check("core merges", run("pack", host, src) == 0)
        try:
            out = os.path.join(work, "oracle-out-2")
            summary = oracle.read_pack(host, out)
            check("header stays", summary["header"] == 1003)
            check("two groups", summary["groups"] == 2)
            check("newer copy wins", tree(out) == contents)
        except oracle.Bad as e:
            check("oracle accepts the merged pack", False, str(e))

        # 3. A pack written by the oracle, restored and merged by the core.
        theirs = os.path.join(work, "theirs.bin")
        with open(theirs, "wb") as f:
            f.write(b"\x00" * 77)
        oracle.write_pack(src, theirs)
        out = os.path.join(work, "core-out")
        check("core restores the oracle's pack",
              run("unpack", theirs, out) == 0 and tree(out) == contents)
        extra = os.path.join(work, "extra")
        os.makedirs(extra)
        with open(os.path.join(extra, "new.txt"), "wb") as f:
            f.write(b"new file")
        check("core merges into the oracle's pack",
              run("pack", theirs, extra) == 0)
        try:
            out = os.path.join(work, "oracle-out-3")
            summary = oracle.read_pack(theirs, out)
            check("merged header stays", summary["header"] == 77)
            expected = dict(contents)
            expected["new.txt"] = b"new file"
            check("merged files", tree(out) == expected)
        except oracle.Bad as e:
            check("oracle accepts the merge into its pack", False, str(e))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
