#!/usr/bin/env python3
"""What ranking by p_chisq costs against ranking by IG, and against another build.

Null data from gorva-simulate (penetrance 0.3 in every cell, 2,000 samples,
10 % missing genotypes): order 2 on 1,000 markers (499,500 pairs) and order
3 on 200 markers (1,313,400 triples), `available`, --top 10, --threads 1.
Each run is timed as wall clock, the best of --repeats, the builds and
rankings interleaved so that a shared machine disturbs them alike. Both
builds must list the same rows under --rank p (checked).

    bench/rank_p_cost.py BUILD_DIR [--baseline GORVA] [--repeats N]
"""
import argparse
import os
import subprocess
import tempfile
import time

from bench_support import cpu_name

WORKLOADS = [("order 2, 1,000 markers", 1000, 2), ("order 3, 200 markers", 200, 3)]


def run(gorva, data, order, rank, work):
    table = os.path.join(work, f"t-{rank}.tsv")
    start = time.perf_counter()
    subprocess.run([gorva, "--in", data, "--out", os.path.join(work, "r.txt"), "--order", str(order),
                    "--rank", rank, "--table", table, "--threads", "1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    with open(table) as rows:
        return seconds, [line for line in rows if not line.startswith("#")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--baseline", help="another gorva executable, timed the same way")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    programs = [("this build", os.path.join(args.build, "gorva"))]
    if args.baseline:
        programs.append(("baseline", args.baseline))
    print(f"CPU: {cpu_name()}; 2,000 samples, 10 % missing, --threads 1, best of {args.repeats}")
    with tempfile.TemporaryDirectory() as work:
        for label, markers, order in WORKLOADS:
            data = os.path.join(work, f"null{markers}.txt")
            subprocess.run([os.path.join(args.build, "gorva-simulate"), "--out", data, "--markers",
                            str(markers), "--samples", "2000", "--missing-rate", "0.1", "--seed", "6",
                            "--penetrance", ",".join(["0.3"] * 9)],
                           check=True, stdout=subprocess.DEVNULL)
            best = {}
            rows = {}
            for _ in range(args.repeats):
                for name, gorva in programs:
                    for rank in ("ig", "p"):
                        seconds, listed = run(gorva, data, order, rank, work)
                        best[name, rank] = min(seconds, best.get((name, rank), seconds))
                        rows[name, rank] = listed
            for name, _ in programs:
                ig, p = best[name, "ig"], best[name, "p"]
                print(f"{label}, {name}: --rank ig {ig:.2f} s, --rank p {p:.2f} s ({p / ig:.2f}x)")
            if args.baseline and rows["this build", "p"] != rows["baseline", "p"]:
                print(f"{label}: the builds list different rows under --rank p")
            if args.baseline:
                print(f"{label}: --rank p, baseline / this build = "
                      f"{best['baseline', 'p'] / best['this build', 'p']:.2f}")


if __name__ == "__main__":
    main()
