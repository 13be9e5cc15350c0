#!/usr/bin/env python3
"""Calibration of every p-value column of the results table on null data
shaped like real cohorts: rare minor alleles, small samples, few cases,
strata, covariates, population structure, --rank p, em, order 3.

For each shape and order, many data sets are drawn by gorva-simulate with
the same penetrance in every cell (no marker has any effect); gorva lists
every combination (--max-p 1) and each column's share at or below 0.05,
0.01 and 0.001 is counted over all of them. Combinations of one data set share
markers, so the Monte Carlo error is taken over data sets (the standard
error of the per-data-set share), and uniformity is judged on one
combination drawn at random from each data set (independent draws):
Kolmogorov-Smirnov against the uniform distribution (scipy). The perm-*
shapes check p_permutation as what it claims to be, a family-wise p-value:
the share of null data sets whose best combination has p_permutation <= 0.05.
Every listed table's lambda_gc lines are checked against the median of the
p-values listed under them, and the first --path-sets data sets of each
shape and order are run again with GORVA_SIMD set to each vector path,
whose tables must be the default run's byte for byte.

    bench/calibration_cohorts.py BUILD_DIR [--datasets N] [--shapes a,b,...]
        [--orders 1,2,3] [--seed S] [--path-sets N]
"""
import argparse
import math
import os
import random
import subprocess
import sys
import tempfile

import numpy
from scipy import stats

COLUMNS = ["p_chisq", "p_interaction", "p_adjusted", "p_interaction_adjusted"]
MARKERS = {1: 40, 2: 16, 3: 10}
# Forced by GORVA_SIMD: each must give the table the default path gives.
VECTOR_PATHS = ("scalar", "avx2", "avx512")

# name: samples, case fraction, MAF range, missing rate, method, orders, extra
# options; "structure": two populations (the second half of the samples,
# allele frequencies shifted by up to 0.15, case fractions 0.2 and 0.5);
# "covar": "noise" (two standard normal covariates), "population" (the
# population as 0/1 plus one noise column) or "decisive" (below).
SHAPES = {
    "rare": dict(samples=300, cases=0.5, maf="0.01-0.05", missing=0.02, method="available", orders=[1, 2, 3]),
    "rare-unbalanced": dict(samples=500, cases=0.1, maf="0.01-0.05", missing=0.02, method="available",
                            orders=[1, 2, 3]),
    "small": dict(samples=200, cases=0.5, maf="0.05-0.5", missing=0.05, method="available", orders=[1, 2, 3]),
    "unbalanced": dict(samples=500, cases=0.1, maf="0.05-0.5", missing=0.05, method="available",
                       orders=[1, 2, 3]),
    "unbalanced-em": dict(samples=500, cases=0.1, maf="0.05-0.5", missing=0.1, method="em", orders=[1, 2, 3]),
    "unbalanced-mc": dict(samples=500, cases=0.1, maf="0.05-0.5", missing=0.1, method="mc", orders=[1, 2, 3]),
    "rank-p": dict(samples=300, cases=0.2, maf="0.01-0.5", missing=0.1, method="available", orders=[2, 3],
                   extra=["--rank", "p"]),
    "covar": dict(samples=400, cases=0.3, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2],
                  covar="noise"),
    "covar-rare": dict(samples=500, cases=0.1, maf="0.01-0.1", missing=0.02, method="available", orders=[1, 2],
                       covar="noise"),
    "strata": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2, 3],
                   structure=True, strata=True),
    "strata-covar": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2],
                         structure=True, covar="population"),
}
# Harsher shapes: few cases in few samples, many small strata, several
# covariates on few cases.
SHAPES.update({
    "tiny-unbalanced": dict(samples=200, cases=0.1, maf="0.05-0.5", missing=0.05, method="available",
                            orders=[1, 2, 3]),
    "tiny-mc": dict(samples=200, cases=0.1, maf="0.05-0.5", missing=0.1, method="mc", orders=[1, 2, 3]),
    "many-strata": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.02, method="available",
                        orders=[1, 2, 3], random_strata=8),
    "many-strata-rare": dict(samples=500, cases=0.2, maf="0.01-0.1", missing=0.02, method="available",
                             orders=[1, 2], random_strata=4),
    "covar-tiny": dict(samples=200, cases=0.1, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2],
                       covar="noise", covar_count=5),
    "covar-strata": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2],
                         covar="noise", random_strata=4),
    "rare-unbalanced-markers": dict(samples=500, cases=0.1, maf="0.01-0.1", missing=0.02, method="available",
                                    orders=[1]),
    "covar-strata-large": dict(samples=900, cases=0.3, maf="0.1-0.5", missing=0.02, method="available", orders=[2],
                               covar="noise", random_strata=3),
})
# The two populations with what real cohorts add to them: rare alleles
# under em up to order 3, the missing level of mc, and the population as a
# covariate under em instead of strata.
SHAPES.update({
    "strata-rare-em": dict(samples=600, cases=0.2, maf="0.01-0.1", missing=0.1, method="em", orders=[1, 2, 3],
                           structure=True, strata=True),
    "strata-mc": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.1, method="mc", orders=[1, 2, 3],
                      structure=True, strata=True),
    "covar-pop-em": dict(samples=400, cases=0.2, maf="0.05-0.5", missing=0.1, method="em", orders=[1, 2],
                         structure=True, covar="population"),
})
# Covariates at their limits: one that all but decides the phenotype (noise
# shifted by 3 in cases, AUC about 0.98, cases and controls still
# overlapping), and many covariates on few samples.
SHAPES.update({
    "covar-decisive": dict(samples=300, cases=0.15, maf="0.05-0.5", missing=0.02, method="available", orders=[1, 2],
                           covar="decisive", covar_count=1),
    "covar-many": dict(samples=100, cases=0.3, maf="0.05-0.5", missing=0.03, method="available", orders=[1, 2],
                       covar="noise", covar_count=10),
})
# p_permutation, a family-wise p-value, is judged on each data set's best
# combination: one value per data set.
PERMUTATION_SHAPES = {
    "perm": dict(samples=300, cases=0.2, maf="0.05-0.5", missing=0.05, method="available"),
    "perm-strata": dict(samples=300, cases=0.2, maf="0.05-0.5", missing=0.05, method="available",
                        structure=True, strata=True),
    "perm-rank-p": dict(samples=300, cases=0.2, maf="0.01-0.5", missing=0.1, method="available",
                        extra=["--rank", "p"]),
    "perm-em": dict(samples=300, cases=0.2, maf="0.05-0.5", missing=0.1, method="em"),
    # Six strata of about 130 samples ranked by p, and the populations as
    # strata with covariates under em: the within-strata permutations' paths.
    "perm-many-strata-p": dict(samples=800, cases=0.2, maf="0.05-0.5", missing=0.05, method="available",
                               random_strata=6, extra=["--rank", "p"]),
    "perm-strata-covar-em": dict(samples=300, cases=0.2, maf="0.05-0.5", missing=0.1, method="em",
                                 structure=True, strata=True, covar="noise"),
}
for permutation_shape in PERMUTATION_SHAPES.values():
    permutation_shape.update(markers=30, permutations=99)


def data_seed(seed, order, d):
    """The simulator's seed of data set d of an order: runs with different
    --seed values draw different data sets (up to 1,000 per order)."""
    return (seed - 1) * 1000000 + 1000 * order + d + 1


def run(command, env=None):
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): {result.stderr}")


def simulate(build, work, shape, markers, seed):
    data = os.path.join(work, "null.txt")
    command = [os.path.join(build, "gorva-simulate"), "--out", data, "--markers", str(markers),
               "--samples", str(shape["samples"]), "--case-fraction", str(shape["cases"]),
               "--maf", shape["maf"], "--missing-rate", str(shape["missing"]), "--seed", str(seed),
               "--planted-maf", "0.3", "--penetrance", ",".join(["0.3"] * 9)]
    if shape.get("structure"):
        command += ["--population-2", "0.5", "--case-fraction-2", "0.5", "--maf-shift", "0.15",
                    "--strata-out", os.path.join(work, "null.strata")]
    run(command)
    return data


def phenotypes(data):
    with open(data) as lines:
        next(lines)
        return numpy.array([1.0 if line.split("\t", 1)[0] == "1" else 0.0 for line in lines])


def write_covariates(work, shape, seed):
    """A covariate file for the data set: noise, the population and noise, or
    noise shifted by 3 in cases ("decisive")."""
    rng = numpy.random.default_rng(seed)
    path = os.path.join(work, "null.cov")
    n = shape["samples"]
    population = numpy.zeros(n)
    if shape["covar"] == "population":
        with open(os.path.join(work, "null.strata")) as strata:
            lines = [line.split() for line in strata if not line.startswith("FID")]
        population = numpy.array([1.0 if fields[2] == "POP2" else 0.0 for fields in lines])
    count = shape.get("covar_count", 2)
    noise = rng.standard_normal((n, count))
    if shape["covar"] == "population":
        noise[:, 0] = population
    if shape["covar"] == "decisive":
        noise[:, 0] += 3.0 * phenotypes(os.path.join(work, "null.txt"))
    names = ["POP"] + [f"C{c}" for c in range(1, count)] if shape["covar"] == "population" else \
        [f"C{c}" for c in range(1, count + 1)]
    with open(path, "w") as out:
        out.write("FID IID " + " ".join(names) + "\n")
        for i in range(n):
            out.write(f"F{i + 1} {i + 1} " + " ".join(f"{v:.6f}" for v in noise[i]) + "\n")
    return path


def write_random_strata(work, shape, seed):
    """Samples assigned to strata at random: strata that carry no structure."""
    rng = numpy.random.default_rng(seed + 7)
    path = os.path.join(work, "random.strata")
    with open(path, "w") as out:
        for i, stratum in enumerate(rng.integers(0, shape["random_strata"], shape["samples"])):
            out.write(f"F{i + 1} {i + 1} S{stratum}\n")
    return path


def read_table(path, lambdas=None):
    """The table's rows; its lambda lines' (name, value, combinations) go to lambdas."""
    header = None
    rows = []
    with open(path) as table:
        for line in table:
            if line.startswith("#"):
                words = line.split()
                if lambdas is not None and len(words) >= 8 and words[3].startswith("lambda_gc"):
                    lambdas.append((words[3], value(words[5]), int(words[7])))
                continue
            fields = line.rstrip("\n").split("\t")
            if header is None:
                header = fields
            else:
                rows.append(dict(zip(header, fields)))
    return rows


def value(text):
    return None if text in ("NA", None) else float(text)


def sample_options(work, shape, seed):
    """The strata and covariate options of a shape, their files written for the data set."""
    options = []
    if shape.get("strata"):
        options += ["--strata", os.path.join(work, "null.strata")]
    if shape.get("random_strata"):
        options += ["--strata", write_random_strata(work, shape, seed)]
    if shape.get("covar"):
        options += ["--covar", write_covariates(work, shape, seed)]
    return options


def paths_differing(command, table):
    """Runs the command again on each vector path (the machine's best stands
    in for one it lacks): the number whose table is not the one already there."""
    with open(table) as first:
        reference = first.read()
    differing = 0
    for path in VECTOR_PATHS:
        run(command, dict(os.environ, GORVA_SIMD=path))
        with open(table) as again:
            differing += again.read() != reference
    return differing


def one_data_set(build, work, shape, order, seed, compare_paths=False):
    data = simulate(build, work, shape, MARKERS[order], seed)
    table = os.path.join(work, "t.tsv")
    command = [os.path.join(build, "gorva"), "--in", data, "--out", os.path.join(work, "r.txt"),
               "--order", str(order), "--missing", shape["method"], "--table", table, "--max-p", "1",
               "--threads", "1", "--log", "0", "--lambda-sample", "1000"] + shape.get("extra", [])
    command += sample_options(work, shape, seed)
    run(command)
    lambdas = []
    rows = read_table(table, lambdas)
    values = {column: [value(row.get(column)) for row in rows] for column in COLUMNS}
    # Every combination is listed and the lambda lines summarise all of
    # them, so each line must be the one its column's listed values give.
    values["lambda"] = []
    for name, printed, combinations in lambdas:
        listed = [v for v in values["p_adjusted" if name.endswith("adjusted") else "p_chisq"] if v is not None]
        if name == "lambda_gc" or combinations == len(listed):
            values["lambda"].append((printed, lambda_of(listed), combinations == len(listed)))
    # Combinations without a test (p_chisq NA: one group left) are not listed.
    values["p_chisq"] += [None] * (math.comb(MARKERS[order], order) - len(rows))
    values["paths"] = paths_differing(command, table) if compare_paths else None
    return values


def lambda_of(p_values):
    """Genomic control's lambda: the 1-df chi-square quantile of the median p over its median."""
    if not p_values:
        return None
    return float(numpy.median(stats.chi2.isf(numpy.array(p_values), 1))) / stats.chi2.ppf(0.5, 1)


def lambda_disagreements(pairs):
    """Lambda lines whose value or count is not the one their listed p-values give."""
    def differs(printed, computed, same_count):
        if not same_count or (printed is None) != (computed is None):
            return True
        # Four decimals printed, p-values to seven digits.
        return printed is not None and abs(printed - computed) > 1e-3 * max(1.0, computed)
    return sum(1 for pair in pairs if differs(*pair))


def summarise(per_set, rng):
    """Pooled shares, their error over data sets, and uniformity of one draw per data set."""
    pooled = [v for values in per_set for v in values if v is not None]
    if not pooled:
        return None
    result = {"n": len(pooled), "na": sum(1 for values in per_set for v in values if v is None)}
    for level in (0.05, 0.01, 0.001):
        result[level] = sum(1 for v in pooled if v <= level) / len(pooled)
        shares = [sum(1 for v in values if v is not None and v <= level) / max(1, sum(v is not None for v in values))
                  for values in per_set if any(v is not None for v in values)]
        result[f"se{level}"] = numpy.std(shares, ddof=1) / math.sqrt(len(shares)) if len(shares) > 1 else float("nan")
    draws = [rng.choice([v for v in values if v is not None]) for values in per_set
             if any(v is not None for v in values)]
    result["ks"] = stats.kstest(draws, "uniform").pvalue
    result["median"] = float(numpy.median(pooled))
    return result


def audit_shape(build, work, name, shape, datasets, seed0, orders, path_sets):
    rng = random.Random(seed0)
    for order in [k for k in shape["orders"] if k in orders]:
        per_column = {column: [] for column in COLUMNS}
        lambda_lines = []
        compared = differing = 0
        for d in range(datasets):
            values = one_data_set(build, work, shape, order, data_seed(seed0, order, d), d < path_sets)
            for column in COLUMNS:
                per_column[column].append(values[column])
            lambda_lines += values["lambda"]
            if values["paths"] is not None:
                compared += len(VECTOR_PATHS)
                differing += values["paths"]
        for column in COLUMNS:
            s = summarise(per_column[column], rng)
            if s is None:
                continue
            print(f"{name:20s} {order:2d}  {column:23s} {s['n']:7d} {s['na']:6d}  "
                  f"{100 * s[0.05]:6.2f} % +-{100 * s['se0.05']:4.2f}  {100 * s[0.01]:5.2f} % +-{100 * s['se0.01']:4.2f}"
                  f"  {100 * s[0.001]:6.3f} % +-{100 * s['se0.001']:5.3f}"
                  f"  {s['median']:5.3f}  {s['ks']:7.4f}", flush=True)
        print(f"{name:20s} {order:2d}  lambda lines: {lambda_disagreements(lambda_lines)} of {len(lambda_lines)} "
              f"disagree with the listed p-values; {differing} of {compared} tables on forced vector paths "
              f"differ", flush=True)


def audit_permutations(build, work, name, shape, datasets, seed0, orders, path_sets):
    """Family-wise error of p_permutation: share of null data sets whose best
    combination of the order has p_permutation <= 0.05."""
    for order in [k for k in (1, 2) if k in orders]:
        best = []
        compared = differing = 0
        for d in range(datasets):
            seed = data_seed(seed0, order, d)
            data = simulate(build, work, shape, shape["markers"], seed)
            table = os.path.join(work, "t.tsv")
            command = [os.path.join(build, "gorva"), "--in", data, "--out", os.path.join(work, "r.txt"),
                       "--order", str(order), "--missing", shape["method"], "--table", table, "--top", "1",
                       "--threads", "1", "--log", "0", "--permutations", str(shape["permutations"]),
                       "--seed", str(d + 1), "--lambda-sample", "1000"] + shape.get("extra", [])
            command += sample_options(work, shape, seed)
            run(command)
            best.append(float(read_table(table)[0]["p_permutation"]))
            if d < path_sets:
                compared += len(VECTOR_PATHS)
                differing += paths_differing(command, table)
        share = sum(1 for v in best if v <= 0.05) / len(best)
        se = math.sqrt(0.05 * 0.95 / len(best))
        # p_permutation takes the values j / (N + 1); with N + 1 a multiple of
        # 10 each tenth of [0, 1] holds a tenth of them under the null, so a
        # chi-square test over the tenths is exact where a KS test on these
        # discrete values would be conservative.
        tenths = numpy.histogram(best, bins=numpy.linspace(0, 1, 11) + 1e-9)[0]
        tenths[0] += sum(1 for v in best if v <= 1e-9)
        uniform = stats.chisquare(tenths).pvalue
        print(f"{name:20s} {order:2d}  {'best p_permutation':23s} {len(best):7d}      0  "
              f"{100 * share:6.2f} % +-{100 * se:4.2f}  family-wise     {numpy.median(best):5.3f}  {uniform:7.4f}"
              f"  tenths {' '.join(str(t) for t in tenths)}; {differing} of {compared} tables on forced vector paths differ",
              flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--datasets", type=int, default=100)
    parser.add_argument("--shapes", default=",".join(list(SHAPES) + list(PERMUTATION_SHAPES)))
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--orders", default="1,2,3", help="orders audited, of those each shape has (perm-*: 1 and 2)")
    parser.add_argument("--path-sets", type=int, default=2,
                        help="data sets of each shape and order also run on every forced vector path")
    args = parser.parse_args()
    print(f"null data, {args.datasets} data sets per shape and order; markers per order {MARKERS}")
    print("shape                 k  column                  values     NA   <=0.05   (se)   <=0.01   (se)   <=0.001    (se)"
          "    median  KS p (one per set)")
    orders = [int(k) for k in args.orders.split(",")]
    with tempfile.TemporaryDirectory() as work:
        for name in args.shapes.split(","):
            if name in PERMUTATION_SHAPES:
                audit_permutations(args.build, work, name, PERMUTATION_SHAPES[name], args.datasets, args.seed, orders,
                                   args.path_sets)
            else:
                audit_shape(args.build, work, name, SHAPES[name], args.datasets, args.seed, orders, args.path_sets)
    return 0


if __name__ == "__main__":
    sys.exit(main())
