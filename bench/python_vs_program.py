#!/usr/bin/python3
"""gorva.search on a 20,000 x 2,000 array against the program on the same data.

Usage: PYTHONPATH=BUILD/python bench/python_vs_program.py BUILD/gorva [threads]

Prints the wall time of the program's whole run with --table (the same
columns gorva.search returns; reading its text file included), the search
time the program reports itself, and gorva.search on
the array in C and in Fortran order, with their ratios, all from one run.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

import gorva
from bench_support import cpu_name

SAMPLES, MARKERS, ORDER = 20000, 2000, 2


def main():
    program = sys.argv[1]
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    rng = np.random.default_rng(1)
    genotypes = rng.integers(0, 3, size=(SAMPLES, MARKERS), dtype=np.uint8)
    genotypes[rng.random((SAMPLES, MARKERS)) < 0.01] = 3
    phenotype = (rng.random(SAMPLES) < 0.5).astype(np.uint8)
    with tempfile.TemporaryDirectory() as folder:
        data = os.path.join(folder, "data.txt")
        table = np.column_stack([phenotype, genotypes])
        header = "\t".join(["Class"] + ["m%d" % m for m in range(MARKERS)])
        np.savetxt(data, table, fmt="%d", delimiter="\t", header=header, comments="")
        report = os.path.join(folder, "report.txt")
        command = [program, "--in", data, "--out", report, "--order", str(ORDER),
                   "--threads", str(threads), "--table", os.path.join(folder, "table.tsv")]
        start = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True)
        program_wall = time.perf_counter() - start
        with open(report) as text:
            program_search = float(re.search(r"Total time,([0-9.]+) sec", text.read()).group(1))
    timings = {}
    for name, array in [("C order", genotypes), ("Fortran order", np.asfortranarray(genotypes))]:
        start = time.perf_counter()
        gorva.search(array, phenotype, order=ORDER, threads=threads)
        timings[name] = time.perf_counter() - start
    print("CPU: %s; %d samples x %d markers, order %d, %d threads" %
          (cpu_name(), SAMPLES, MARKERS, ORDER, threads))
    print("program --table, whole run:    %7.2f s" % program_wall)
    print("program, search (its report):  %7.2f s (whole seconds)" % program_search)
    for name, seconds in timings.items():
        print("gorva.search, %-14s   %7.2f s  = %.2f x the program's whole run" %
              (name + ":", seconds, seconds / program_wall))


if __name__ == "__main__":
    main()
