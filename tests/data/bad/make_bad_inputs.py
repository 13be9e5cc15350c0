#!/usr/bin/env python3
"""Writes the malformed inputs of this directory. Each is the smallest file
that shows one way a data file goes wrong in practice; MANIFEST.tsv holds the
answer the program must give to each. Run from any directory:
    python3 tests/data/bad/make_bad_inputs.py
"""
import gzip
import io
import os

HERE = os.path.dirname(os.path.abspath(__file__))
GOOD = b"Class\tA\tB\n1\t0\t1\n0\t1\t1\n1\t2\t0\n0\t0\t2\n"


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)


def text_cases():
    write("empty.txt", b"")
    write("header-without-line-end.txt", b"Class\tA\tB")
    write("one-field-too-many.txt", b"Class\tA\tB\n1\t0\t1\n0\t1\t1\t2\n")
    write("trailing-tab.txt", b"Class\tA\tB\n1\t0\t1\n0\t1\t1\t\n")
    write("code-4.txt", b"Class\tA\tB\n1\t0\t1\n0\t1\t4\n")
    write("code-255.txt", b"Class\tA\tB\n1\t0\t1\n0\t-1\t1\n")
    write("name-300.txt", b"Class\tA\t" + b"N" * 300 + b"\n1\t0\t1\n")
    # 300 characters that atoi would still read as 1: leading zeros.
    write("field-300.txt", b"Class\tA\tB\n1\t0\t" + b"0" * 299 + b"1\n")
    write("cr-only.txt", GOOD.replace(b"\n", b"\r"))
    # A compressed data file given as it is: the commonest binary input.
    packed = io.BytesIO()
    with gzip.GzipFile(fileobj=packed, mode="wb", mtime=0, filename="") as z:
        z.write(GOOD)
    write("compressed.txt.gz", packed.getvalue())
    # UTF-16 text as some spreadsheet programs save it.
    write("utf16.txt", b"\xff\xfe" + GOOD.decode().encode("utf-16-le"))
    write("nul-in-data-line.txt", b"Class\tA\tB\n1\t0\t1\n0\t1\x00\t1\n")
    write("utf8-bom.txt", b"\xef\xbb\xbf" + GOOD)
    write("short-line.txt", b"Class\tA\tB\n1\t0\t1\n0\t1\n1\t2\t0\n")
    # Phenotypes that a byte stores as 1 (a case): 257 and -255.
    write("phenotype-257.txt", b"Class\tA\tB\n257\t0\t1\n0\t1\t1\n-255\t2\t0\n0\t0\t2\n")
    write("repeated-name.txt", b"Class\tA\tB,C\tA\n1\t0\t1\t2\n0\t1\t1\t0\n1\t2\t0\t1\n0\t0\t2\t2\n")
    # Separated by blanks: one phenotype column, no marker; the header says why.
    write("blank-separated.txt", b"Class A B\n1 0 1\n0 1 1\n")
    # A CSV (pandas' to_csv, a spreadsheet's export) reads so too.
    write("comma-separated.txt", b"Class,A,B\n1,0,1\n0,1,1\n")
    # A marker named "B C" reads as the pair B, C in the report's rows.
    write("blank-in-name.txt", b"Class\tA\tB C\n1\t0\t1\n0\t1\t1\n1\t2\t0\n0\t0\t2\n")


def plink_set(prefix, fam, bim, bed):
    write(prefix + ".fam", fam)
    write(prefix + ".bim", bim)
    write(prefix + ".bed", bed)


def plink_cases():
    fam = b"".join(b"F%d S%d 0 0 1 %d\n" % (i, i, 1 + i % 2) for i in range(1, 5))
    bim = b"".join(b"1 rs%d 0 %d A G\n" % (i, 100 * i) for i in range(1, 4))
    # 4 samples fit one byte per marker: codes 00 10 11 01 and so on.
    bed = bytes([0x6C, 0x1B, 0x01, 0b00101101, 0b11100100, 0b00011011])
    plink_set("bed-wrong-magic", fam, bim, bytes([0x6C, 0x1B, 0x02]) + bed[3:])
    plink_set("bed-one-byte-short", fam, bim, bed[:-1])
    fam5 = fam.replace(b"F2 S2 0 0 1 1\n", b"F2 S2 0 0 1\n")
    plink_set("fam-five-columns", fam5, bim, bed)
    dup = bim.replace(b"1 rs3 0 300", b"1 rs1 0 300")
    plink_set("bim-duplicate-id", fam, dup, bed)
    # PLINK's own tools refuse it: one person twice weighs twice in every count.
    plink_set("fam-duplicate-sample", fam.replace(b"F3 S3", b"F1 S1"), bim, bed)
    # Found by fuzzing: an id with a NUL byte was accepted, and the report
    # showed it cut at the NUL.
    plink_set("bim-nul-in-id", fam, bim.replace(b"rs2", b"r\x00\x05"), bed)


if __name__ == "__main__":
    text_cases()
    plink_cases()
