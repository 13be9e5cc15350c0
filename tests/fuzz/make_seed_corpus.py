#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/)
from the project's test files: the head of the real data set, the example,
and the malformed inputs of tests/data/bad. Run from any directory:
    python3 tests/fuzz/make_seed_corpus.py
"""
import glob
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BAD = os.path.join(ROOT, "tests", "data", "bad")


def out_dir(target):
    path = os.path.join(HERE, "corpus", target)
    os.makedirs(path, exist_ok=True)
    return path


def write(target, name, data):
    with open(os.path.join(out_dir(target), name), "wb") as out:
        out.write(data)


def head(path, lines, columns):
    """The first lines and columns of a tab-separated file, LF ended."""
    with open(path, "rb") as f:
        rows = f.read().split(b"\n")[:lines]
    return b"".join(b"\t".join(r.rstrip(b"\r").split(b"\t")[:columns]) + b"\n" for r in rows)


def text_reader():
    t = "fuzz_text_reader"
    write(t, "gametes-head.txt", head(os.path.join(ROOT, "tests/data/gametes-2way-100x2000.txt"), 12, 8))
    write(t, "example-head.txt", head(os.path.join(ROOT, "examples/example.txt"), 10, 6))
    small = b"Status\tm0\tm1\n1\t0\t2\n0\t3\t1\n"
    write(t, "crlf.txt", small.replace(b"\n", b"\r\n"))
    write(t, "crcrlf.txt", small.replace(b"\n", b"\r\r\n"))
    write(t, "spaces-and-words.txt", b"Status\trs 1\tm1\n 1 \t1 2\tNA\n0\t2.7\t-0\n\n")
    write(t, "phenotype-only.txt", b"Class\n1\n0\n")
    for path in sorted(glob.glob(os.path.join(BAD, "*.txt")) + glob.glob(os.path.join(BAD, "*.gz"))):
        with open(path, "rb") as f:
            write(t, "bad-" + os.path.basename(path), f.read())


def command_line():
    t = "fuzz_command_line"
    lines = [
        ["--in", "data.txt", "--out", "r.txt", "--order", "2-3"],
        ["--top", "5", "--top", "7", "--in", "none.txt"],
        ["--out", "--top", "5"],
        ["--type", "mdr", "--score", "s.txt", "--tie", "low", "--missing", "em"],
        ["--shuffle", "1", "--debug", "2", "--save_all", "1", "--perm", "0"],
        ["--order", "5-3", "--missing", "EM", "--tie", "ignore"],
        ["--threads", "2", "--progress", "1", "--bfile", "set", "--plot", "1"],
        ["--top", "4294967295", "--order", "2-99999999999"],
        ["--perm", " -12abc", "--top", "\t+7"],
    ]
    for i, words in enumerate(lines):
        write(t, "line-%d" % i, b"\0".join(w.encode() for w in words))


def plink_input(prefix, flags=0):
    with open(prefix + ".fam", "rb") as f:
        fam = f.read()
    with open(prefix + ".bim", "rb") as f:
        bim = f.read()
    with open(prefix + ".bed", "rb") as f:
        bed = f.read()
    return bytes([flags]) + struct.pack("<HH", len(fam), len(bim)) + fam + bim + bed


def plink_reader():
    t = "fuzz_plink_reader"
    for fam in sorted(glob.glob(os.path.join(BAD, "*.fam"))):
        prefix = fam[:-4]
        write(t, os.path.basename(prefix), plink_input(prefix))
    fam = b"".join(b"F%d S%d 0 0 1 %d\n" % (i, i, 1 + i % 2) for i in range(1, 7))
    fam += b"F7 S7 0 0 1 -9\n"
    bim = b"".join(b"1\trs%d\t0\t%d\tA\tG\n" % (i, 100 * i) for i in range(1, 4))
    bed = bytes([0x6C, 0x1B, 0x01, 0x1B, 0x24, 0x2D, 0xE4, 0x00, 0x3F])
    good = struct.pack("<HH", len(fam), len(bim)) + fam + bim + bed
    write(t, "seven-samples", bytes([0]) + good)
    write(t, "seven-samples-missing-none", bytes([1]) + good)


if __name__ == "__main__":
    text_reader()
    command_line()
    plink_reader()
