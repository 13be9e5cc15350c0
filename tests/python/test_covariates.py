# Covariate-adjusted p-values against an independent logistic fit, genomic
# control on simulated structured data, and the covariate file's refusals.
import itertools
import os
import subprocess

import numpy as np
import pytest

from conftest import GORVA_EXE, generated, program_table, write_text

statsmodels = pytest.importorskip("statsmodels.api")
chi2 = pytest.importorskip("scipy.stats").chi2
SIMULATE = os.path.join(os.path.dirname(GORVA_EXE), "gorva-simulate")


def write_covariates(path, values, names, missing_at=()):
    with open(path, "w") as out:
        out.write("FID IID " + " ".join(names) + "\n")
        for s, row in enumerate(values):
            fields = ["NA" if s in missing_at else "%.17g" % v for v in row]
            out.write("F%d %d %s\n" % (s + 1, s + 1, " ".join(fields)))


def indicators(factor):
    levels = sorted(set(factor))[1:]
    return np.column_stack([(factor == level).astype(float) for level in levels]) if levels else None


def deviance(y, design):
    fit = statsmodels.Logit(y, design).fit(method="newton", tol=1e-14, maxiter=200, disp=0)
    return -2 * fit.llf, np.linalg.matrix_rank(design)


def lr_p(y, reduced, full):
    d0, r0 = deviance(y, reduced)
    d1, r1 = deviance(y, full)
    return chi2.sf(d0 - d1, r1 - r0)


def test_adjusted_p_values_equal_an_independent_logistic_fit(tmp_path):
    samples, markers = 400, 8
    genotypes, phenotype = generated(samples, markers, 0.05, seed=11)
    rng = np.random.default_rng(5)
    covariates = np.column_stack([rng.normal(size=samples) + phenotype * 0.5, rng.uniform(20, 70, samples)])
    write_text(tmp_path / "data.txt", genotypes, phenotype, ["M%d" % m for m in range(markers)])
    write_covariates(tmp_path / "cov.txt", covariates, ["PC1", "AGE"], missing_at={3})
    rows = program_table(tmp_path, tmp_path / "data.txt",
                         ["--order", "1-2", "--top", "6", "--covar", str(tmp_path / "cov.txt"),
                          "--covar-name", "AGE,PC1"])
    kept = np.arange(samples) != 3
    compared = 0
    for row in rows:
        chosen = [int(i) for i in row["indices"].split("-")]
        codes = genotypes[:, chosen]
        counted = kept & np.all(codes < 3, axis=1)
        y = phenotype[counted].astype(float)
        base = np.column_stack([np.ones(counted.sum()), covariates[counted][:, [1, 0]]])
        cells = codes[counted] @ (3 ** np.arange(len(chosen)))
        full = np.column_stack([base, indicators(cells)])
        expected = lr_p(y, base, full)
        assert abs(np.log(float(row["p_adjusted"])) - np.log(expected)) < 1e-6, row
        if len(chosen) == 2:
            additive = np.column_stack([base, indicators(codes[counted][:, 0]), indicators(codes[counted][:, 1])])
            expected = lr_p(y, additive, full)
            assert abs(np.log(float(row["p_interaction_adjusted"])) - np.log(expected)) < 1e-6, row
        else:
            assert row["p_interaction_adjusted"] == "NA"
        compared += 1
    assert compared == 12
