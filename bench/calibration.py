#!/usr/bin/env python3
"""Share of null combinations whose p_chisq (and, for pairs, p_interaction)
falls at or below 0.05 and 0.001, per missing-data method and order.

Every data set is drawn by gorva-simulate with the same penetrance in every
cell, so no marker has any effect; gorva lists every combination of the
order (--max-p 1) in its results table, and the shares are counted there.

    bench/calibration.py BUILD_DIR [--datasets N] [--samples N]
"""
import argparse
import os
import subprocess
import sys
import tempfile

METHODS = ["none", "available", "complete", "imputation", "mc", "em"]
# Markers per data set for each order: enough tests per order without
# runs that take minutes.
MARKERS = {1: 100, 2: 40, 3: 20}
LEVELS = (0.05, 0.001)


def simulate(build, path, markers, samples, missing, seed):
    penetrance = ",".join(["0.3"] * 9)
    subprocess.run([os.path.join(build, "gorva-simulate"), "--out", path, "--markers", str(markers),
                    "--samples", str(samples), "--missing-rate", str(missing), "--seed", str(seed),
                    "--penetrance", penetrance], check=True, stdout=subprocess.DEVNULL)


def table_p_values(build, work, data, order, method):
    table = os.path.join(work, "t.tsv")
    subprocess.run([os.path.join(build, "gorva"), "--in", data, "--out", os.path.join(work, "r.txt"),
                    "--order", str(order), "--missing", method, "--table", table, "--max-p", "1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    header = None
    chisq, interaction = [], []
    with open(table) as rows:
        for line in rows:
            if line.startswith("#"):
                continue
            fields = line.rstrip("\n").split("\t")
            if header is None:
                header = fields
                continue
            row = dict(zip(header, fields))
            chisq.append(float(row["p_chisq"]) if row["p_chisq"] != "NA" else None)
            if row["p_interaction"] != "NA":
                interaction.append(float(row["p_interaction"]))
    return chisq, interaction


def share(values, level):
    return 100.0 * sum(1 for v in values if v is not None and v <= level) / max(len(values), 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--datasets", type=int, default=30)
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--methods", default=",".join(METHODS))
    parser.add_argument("--orders", default="1,2,3")
    args = parser.parse_args()
    orders = [int(o) for o in args.orders.split(",")]
    print(f"null data: {args.samples} samples, half cases; 10 % missing genotypes "
          f"(complete: 0.5 %, none: 0); {args.datasets} data sets per order; markers per order {MARKERS}")
    print("method      order  tests   p_chisq<=0.05  <=0.001  NA   p_interaction<=0.05")
    with tempfile.TemporaryDirectory() as work:
        for method in args.methods.split(","):
            missing = {"none": 0.0, "complete": 0.005}.get(method, 0.1)
            for order in orders:
                chisq, interaction = [], []
                for d in range(args.datasets):
                    data = os.path.join(work, "null.txt")
                    simulate(args.build, data, MARKERS[order], args.samples, missing, 1000 * order + d + 1)
                    c, i = table_p_values(args.build, work, data, order, method)
                    chisq += c
                    interaction += i
                undefined = sum(1 for v in chisq if v is None)
                inter = f"{share(interaction, 0.05):6.2f} %" if interaction else "     -"
                print(f"{method:11s} {order:5d} {len(chisq):7d}   {share(chisq, 0.05):6.2f} %    "
                      f"{share(chisq, 0.001):5.3f} % {undefined:4d}   {inter}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
