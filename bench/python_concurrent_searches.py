#!/usr/bin/python3
"""Two gorva.search calls in two Python threads at once, against one alone.

Usage: PYTHONPATH=BUILD/python bench/python_concurrent_searches.py [reps]

Each search runs on one worker thread (threads=1), with permutations, so
that the engine's own generator is exercised. Prints, from one run, the best
of `reps` wall times of one search alone and of two started together (each
on its own copy of the data), their ratio (1.0 = the two ran fully side by
side on two cores; 2.0 = one after the other), and the CPU.
"""
import platform
import sys
import threading
import time

import numpy as np

import gorva

SAMPLES, MARKERS, ORDER, PERMUTATIONS = 2000, 600, 2, 4


def cpu_name():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


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
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, results


def main():
    reps = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    first, second = data(1), data(1)
    alone = min(timed([first])[0] for _ in range(reps))
    together = None
    for _ in range(reps):
        elapsed, results = timed([first, second])
        together = elapsed if together is None else min(together, elapsed)
        # The same data and seed give the same table in both threads.
        a, b = results[0][0], results[1][0]
        assert all(np.array_equal(a[k], b[k], equal_nan=a[k].dtype.kind == "f") for k in a if k not in ("markers", "indices"))
    print("CPU: %s" % cpu_name())
    print("%d samples x %d markers, order %d, %d permutations, threads=1 per search, best of %d"
          % (SAMPLES, MARKERS, ORDER, PERMUTATIONS, reps))
    print("one search alone:        %.3f s" % alone)
    print("two searches at once:    %.3f s" % together)
    print("ratio (two / one):       %.2f" % (together / alone))


if __name__ == "__main__":
    main()
