#!/usr/bin/env python3
"""Driver of bench/resbundle/run: times every command with /usr/bin/time -v
(wall clock and peak resident set size), each in a fresh output folder, and
prints the ratios to the floor program."""
import os
import re
import shutil
import subprocess
import sys

build = sys.argv[1]
here = os.path.dirname(os.path.abspath(__file__))
REPEAT = 3


def find(name):
    for top, dirs, files in os.walk(build):
        dirs[:] = [d for d in dirs if not d.startswith("corpus-")
                   and not d.startswith("run")]
        if name in files:
            return os.path.join(top, name)
    sys.exit("bench: %s not found below %s (configure with -DBENCH=ON)"
             % (name, build))


driver = find("pack_driver")
floor = find("pack_floor")
work = os.path.join(build, "bench-resbundle")
os.makedirs(work, exist_ok=True)
counter = [0]


def fresh(name):
    counter[0] += 1
    return os.path.join(work, "run%05d-%s" % (counter[0], name))


def timed(args, cwd=None):
    result = subprocess.run(["/usr/bin/time", "-v"] + args, cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        sys.exit("bench: failed: %s\n%s" % (" ".join(args), result.stderr))
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)",
                     result.stderr)
    seconds = (int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 +
               float(wall.group(3)))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)",
                        result.stderr).group(1))
    return seconds, rss


def best(make_args, repeat=REPEAT):
    runs = [timed(*make_args()) for _ in range(repeat)]
    return min(t for t, _ in runs), max(r for _, r in runs)


def tree_size(root):
    total = files = 0
    for top, _, names in os.walk(root):
        for n in names:
            if n != ".complete":
                total += os.path.getsize(os.path.join(top, n))
                files += 1
    return total, files


def host_copy():
    path = fresh("host.bin")
    shutil.copyfile(os.path.join(work, "host.bin"), path)
    return path


def bench(kind):
    corpus = os.path.join(work, "corpus-" + kind)
    subprocess.run([sys.executable, os.path.join(here, "make_corpus.py"), kind,
                    corpus], check=True)
    size, files = tree_size(corpus)
    print("\n== corpus %s: %d files, %.1f MiB" % (kind, files, size / 2**20))

    packed = host_copy()
    timed([driver, "pack", packed, corpus])  # The product to unpack.
    streams = os.path.join(work, "streams-" + kind)
    timed([floor, "pack", corpus, streams])
    zipped = fresh("book.zip")
    subprocess.run(["zip", "-q", "-9", "-r", zipped, "."], cwd=corpus,
                   check=True)

    rows = [
        ("pack", "pack core", best(lambda: ([driver, "pack", host_copy(),
                                             corpus],))),
        ("pack", "floor", best(lambda: ([floor, "pack", corpus],))),
        ("pack", "zip -9 -r", best(lambda: (["zip", "-q", "-9", "-r",
                                             fresh("z.zip"), "."], corpus))),
        ("unpack", "pack core", best(lambda: ([driver, "unpack", packed,
                                               fresh("out")],))),
        ("unpack", "floor", best(lambda: ([floor, "unpack", streams,
                                           fresh("out")],))),
        ("unpack", "unzip", best(lambda: (["unzip", "-q", zipped, "-d",
                                           fresh("out")],))),
    ]
    floor_time = {job: t for job, who, (t, _) in rows if who == "floor"}
    print("%-7s %-10s %9s %9s %12s" % ("job", "tool", "seconds", "x floor",
                                      "peak RSS"))
    for job, who, (t, rss) in rows:
        print("%-7s %-10s %9.3f %9.2f %9.1f MiB" %
              (job, who, t, t / floor_time[job], rss / 1024))
    product = os.path.getsize(packed)
    print("product %.1f MiB, zip %.1f MiB" % (product / 2**20,
                                              os.path.getsize(zipped) / 2**20))
    # Output folders are many and large: drop them, keep the corpora.
    for name in os.listdir(work):
        if name.startswith("run"):
            path = os.path.join(work, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)


def main():
    with open(os.path.join(work, "host.bin"), "wb") as f:
        f.write(os.urandom(1 << 20) + b"odd")
    print("== myCRC32 on 256 MiB")
    subprocess.run([find("bench_pack_crc"), "--benchmark_counters_tabular=true"],
                   check=True)
    for kind in ("book", "small"):
        bench(kind)


if __name__ == "__main__":
    main()
