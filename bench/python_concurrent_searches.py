#!/usr/bin/python3
"""Two gorva.search calls in two Python threads at once, against one alone.

Usage: PYTHONPATH=BUILD/python bench/python_concurrent_searches.py [reps]

Each search runs on one worker thread (threads=1), with permutations, so
that the engine's own generator is exercised. Prints, from one run, the best
of `reps` wall times of one search alone and of two started together (each
on its own copy of the data), their ratio (1.0 = the two ran fully side by
side on two cores; 2.0 = one after the other), and the CPU.

On a machine other programs keep busy the wall ratio measures them too, so
it also prints CPU-time figures from the same runs: the process CPU time of
two searches together against twice that of one alone (above 1.0: the
searches slow each other down by sharing something), and the cores the two occupied at once (process CPU time
over wall time; 2.0 = side by side, 1.0 or less = one at a time or starved),
with the load average before and after.
"""
import os
import sys
import threading
import time

import numpy as np

import gorva
from bench_support import cpu_name

SAMPLES, MARKERS, ORDER, PERMUTATIONS = 2000, 1500, 2, 4


def data(seed):
    rng = np.random.default_rng(seed)
    genotypes = rng.integers(0, 3, size=(SAMPLES, MARKERS), dtype=np.uint8)
    phenotype = (rng.random(SAMPLES) < 0.5).astype(np.uint8)
    return genotypes, phenotype


def search(genotypes, phenotype, out):
    out.append(gorva.search(genotypes, phenotype, order=ORDER, permutations=PERMUTATIONS, seed=7,
                            threads=1))


def timed(sets):
    results = [[] for _ in sets]
    threads = [threading.Thread(target=search, args=(g, p, r)) for (g, p), r in zip(sets, results)]
    start, cpu_start = time.perf_counter(), time.process_time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    return elapsed, results, time.process_time() - cpu_start


def main():
    reps = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    first, second = data(1), data(1)
    load_before = os.getloadavg()[0]
    alone, alone_cpu = None, None
    for _ in range(reps):
        elapsed, _, cpu = timed([first])
        alone = elapsed if alone is None else min(alone, elapsed)
        alone_cpu = cpu if alone_cpu is None else min(alone_cpu, cpu)
    together, together_cpu, cores = None, None, 0.0
    for _ in range(reps):
        elapsed, results, cpu = timed([first, second])
        together = elapsed if together is None else min(together, elapsed)
        together_cpu = cpu if together_cpu is None else min(together_cpu, cpu)
        cores = max(cores, cpu / elapsed)
        # The same data and seed give the same table in both threads.
        a, b = results[0][0], results[1][0]
        assert all(np.array_equal(a[k], b[k], equal_nan=a[k].dtype.kind == "f") for k in a if k not in ("markers", "indices"))
    print("CPU: %s" % cpu_name())
    print("%d samples x %d markers, order %d, %d permutations, threads=1 per search, best of %d"
          % (SAMPLES, MARKERS, ORDER, PERMUTATIONS, reps))
    print("one search alone:        %.3f s" % alone)
    print("two searches at once:    %.3f s" % together)
    print("ratio (two / one):       %.2f" % (together / alone))
    print("CPU time:                %.3f s one alone, %.3f s two at once (ratio to twice one %.2f)"
          % (alone_cpu, together_cpu, together_cpu / (2 * alone_cpu)))
    print("cores occupied at once:  %.2f (best of the two-search runs)" % cores)
    print("load average:            %.1f before, %.1f after" % (load_before, os.getloadavg()[0]))


if __name__ == "__main__":
    main()
