# Covariate-adjusted p-values against an independent logistic fit (its
# likelihood ratio over the Williams divisor p_chisq uses, or for the
# interaction the divisor of its kept cells, scaled by Lawley's small-sample
# factor computed from dense sums over pairs of samples), genomic
# control on simulated structured data, and the covariate file's refusals.
import itertools
import os
import re
import subprocess

import numpy as np
import pytest

from conftest import GORVA_EXE, generated, interaction_divisor, program_table, write_text

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


def sparse_cell_size(y):
    # A cell expecting fewer than 5 samples of the rarer class is sparse.
    return 5 * len(y) / min(y.sum(), len(y) - y.sum())


def pooled_groups(cells, y):
    values, totals = np.unique(cells, return_counts=True)
    smallest = sparse_cell_size(y)
    kept = [(v, t) for v, t in zip(values, totals) if t >= smallest]
    group = {v: i for i, (v, _) in enumerate(kept)}
    pool_total = sum(t for t in totals if t < smallest)
    if pool_total:
        pool = len(kept) if pool_total >= smallest or not kept else int(np.argmin([t for _, t in kept]))
        group.update({v: pool for v, t in zip(values, totals) if t < smallest})
    return np.array([group[c] for c in cells])


def fitted(y, design):
    fit = statsmodels.Logit(y, design).fit(method="newton", tol=1e-14, maxiter=200, disp=0)
    return -2 * fit.llf, np.linalg.matrix_rank(design), fit.predict()


def lawley_eps(design, mu):
    """Lawley's small-sample term of a logistic model at probabilities mu,
    straight from its sums over pairs of samples."""
    w = mu * (1 - mu)
    w1, w2 = w * (1 - 2 * mu), w * (1 - 6 * w)
    z = design @ np.linalg.pinv(design.T @ (w[:, None] * design)) @ design.T
    zd = np.diag(z)
    return (-np.sum(w2 * zd ** 2) / 4 + np.einsum("i,j,ij->", w1, w1, z ** 3) / 6
            + np.einsum("i,j,i,ij,j->", w1, w1, zd, z, zd) / 4)


def lr_p(y, reduced, full, divisor, plain_reduced, plain_full):
    """The likelihood ratio over `divisor` times Lawley's factor 1 + excess / df
    of the models over its value for the models without covariates (plain_*),
    both at the reduced model's fit."""
    d0, r0, mu = fitted(y, reduced)
    d1, r1, _ = fitted(y, full)
    df = r1 - r0
    plain_mu = fitted(y, plain_reduced)[2]
    with_covariates = 1 + (lawley_eps(full, mu) - lawley_eps(reduced, mu)) / df
    without = 1 + (lawley_eps(plain_full, plain_mu) - lawley_eps(plain_reduced, plain_mu)) / df
    return chi2.sf((d0 - d1) / (divisor * with_covariates / without), df)


def williams_divisor(groups, y):
    # As p_chisq divides its G: 1 + (n/controls + n/cases - 1)(n sum 1/n_g - 1) / (6 n df).
    n, cases = len(y), y.sum()
    totals = np.unique(groups, return_counts=True)[1]
    return 1 + (n / (n - cases) + n / cases - 1) * (n * np.sum(1.0 / totals) - 1) / (6 * n * (len(totals) - 1))


def compare_with_independent_fits(rows, genotypes, phenotype, covariates, kept):
    """Each row's adjusted p-values against statsmodels' fits of the same
    samples (covariates in the order the run names them); the rows compared."""
    compared = 0
    for row in rows:
        chosen = [int(i) for i in row["indices"].split("-")]
        codes = genotypes[:, chosen]
        counted = kept & np.all(codes < 3, axis=1)
        y = phenotype[counted].astype(float)
        base = np.column_stack([np.ones(counted.sum()), covariates[counted]])
        cells = codes[counted] @ (3 ** np.arange(len(chosen)))
        groups = pooled_groups(cells, y)
        full = np.column_stack([base, indicators(groups)])
        ones = base[:, :1]
        expected = lr_p(y, base, full, williams_divisor(groups, y), ones, np.column_stack([ones, indicators(groups)]))
        assert abs(np.log(float(row["p_adjusted"])) - np.log(expected)) < 1e-6, row
        if len(chosen) == 2:
            values, totals = np.unique(cells, return_counts=True)
            kept_cells = values[totals >= sparse_cell_size(y)]
            keep = np.isin(cells, kept_cells)
            pair = codes[counted][keep]
            additive = np.column_stack([base[keep], indicators(pair[:, 0]), indicators(pair[:, 1])])
            full = np.column_stack([base[keep], indicators(cells[keep])])
            observed = np.zeros((3, 3, 2))
            np.add.at(observed, (pair[:, 0], pair[:, 1], y[keep].astype(int)), 1)
            df = np.linalg.matrix_rank(full) - np.linalg.matrix_rank(additive)
            plain_additive = np.column_stack([ones[keep], indicators(pair[:, 0]), indicators(pair[:, 1])])
            plain_full = np.column_stack([ones[keep], indicators(cells[keep])])
            expected = lr_p(y[keep], additive, full, interaction_divisor(observed, df), plain_additive, plain_full)
            assert abs(np.log(float(row["p_interaction_adjusted"])) - np.log(expected)) < 1e-6, row
        else:
            assert row["p_interaction_adjusted"] == "NA"
        compared += 1
    return compared


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
    assert compare_with_independent_fits(rows, genotypes, phenotype, covariates[:, [1, 0]], kept) == 12


def test_a_covariate_that_nearly_decides_the_phenotype_leaves_finite_fits_fitted(tmp_path):
    # Cases and controls overlap on the covariate, so every model has a
    # finite maximum, but its tails put fitted probabilities below
    # 1e-8: the fits are the likelihood's maxima, not refused as separated.
    samples, markers = 400, 6
    genotypes, phenotype = generated(samples, markers, 0.05, seed=17)
    covariate = np.random.default_rng(9).normal(size=samples) + 4.5 * phenotype
    assert covariate[phenotype == 1].min() < covariate[phenotype == 0].max()
    design = np.column_stack([np.ones(samples), covariate])
    fitted = statsmodels.Logit(phenotype.astype(float), design).fit(method="newton", tol=1e-14, disp=0).predict()
    assert min(fitted.min(), 1 - fitted.max()) < 1e-9
    write_text(tmp_path / "data.txt", genotypes, phenotype, ["M%d" % m for m in range(markers)])
    write_covariates(tmp_path / "cov.txt", covariate[:, None], ["SCORE"])
    rows = program_table(tmp_path, tmp_path / "data.txt",
                         ["--order", "1", "--top", "6", "--covar", str(tmp_path / "cov.txt")])
    everyone = np.ones(samples, dtype=bool)
    assert compare_with_independent_fits(rows, genotypes, phenotype, covariate[:, None], everyone) == 6


def test_python_covariate_columns_equal_the_programs(tmp_path):
    import gorva
    from conftest import as_printed
    samples, markers = 300, 6
    genotypes, phenotype = generated(samples, markers, 0.05, seed=3)
    covariates = np.random.default_rng(8).normal(size=(samples, 2))
    names = ["M%d" % m for m in range(markers)]
    write_text(tmp_path / "data.txt", genotypes, phenotype, names)
    write_covariates(tmp_path / "cov.txt", covariates, ["A", "B"])
    columns = gorva.search(genotypes, phenotype, order=(1, 2), top=4, markers=names, covariates=covariates)
    expected = program_table(tmp_path, tmp_path / "data.txt",
                             ["--order", "1-2", "--top", "4", "--covar", str(tmp_path / "cov.txt")])
    assert as_printed(columns) == expected
    assert any(row["p_adjusted"] != "NA" for row in expected)


def test_a_covariate_separating_the_classes_is_warned_about_as_the_program_does():
    import gorva
    genotypes, phenotype = generated(200, 4, 0.05, seed=5)
    with pytest.warns(UserWarning, match="4 of the 4 listed rows have p_adjusted .* NA") as told:
        columns = gorva.search(genotypes, phenotype, order=1, top=4, covariates=phenotype[:, None].astype(float))
    assert np.isnan(columns["p_adjusted"]).all() and not np.isnan(columns["p_chisq"]).any()
    assert any("covariate number 1 separates the classes over the run's samples: no control lies above 1"
               in str(warning.message) for warning in told)


def test_a_covariate_far_from_zero_gives_the_p_values_of_its_shifted_values():
    # The intercept takes up a shift; scaling such a column before centring
    # it rounded its values anew (1e-6 off at 1e12, a time in milliseconds).
    import gorva
    genotypes, phenotype = generated(200, 4, 0.0, seed=8)
    near = np.random.default_rng(8).normal(size=(200, 1))
    for shift in (1e12, 1e15, -1e300):
        far = near + shift
        expected = gorva.search(genotypes, phenotype, order=(1, 2), covariates=far - shift, threads=1)
        got = gorva.search(genotypes, phenotype, order=(1, 2), covariates=far, threads=1)
        for name in ("p_adjusted", "p_interaction_adjusted"):
            np.testing.assert_allclose(got[name], expected[name], rtol=1e-10, err_msg="%s at %g" % (name, shift))


def test_covariates_adding_nothing_are_left_out_by_name(tmp_path):
    # A constant column and an affine function of another: each named once,
    # and the table is the one of the run without them, program and module.
    import gorva
    samples, markers = 300, 5
    genotypes, phenotype = generated(samples, markers, 0.05, seed=13)
    pc = np.random.default_rng(2).normal(size=samples) + 0.5 * phenotype
    names = ["M%d" % m for m in range(markers)]
    write_text(tmp_path / "data.txt", genotypes, phenotype, names)
    redundant = np.column_stack([pc, np.full(samples, 5.0), 2 * pc - 1])
    write_covariates(tmp_path / "all.txt", redundant, ["PC1", "K", "C"])
    write_covariates(tmp_path / "one.txt", pc[:, None], ["PC1"])
    run = [GORVA_EXE, "--in", str(tmp_path / "data.txt"), "--out", str(tmp_path / "report.txt"),
           "--order", "1-2", "--top", "4", "--table"]
    done = subprocess.run(run + [str(tmp_path / "all.tsv"), "--covar", str(tmp_path / "all.txt")],
                          check=True, capture_output=True, text=True)
    dropped = [line for line in done.stderr.splitlines() if "left out of the adjusted models" in line]
    assert len(dropped) == 2, done.stderr
    assert "covariate K takes one value" in dropped[0] and "covariate C is a linear combination" in dropped[1]
    subprocess.run(run + [str(tmp_path / "one.tsv"), "--covar", str(tmp_path / "one.txt")],
                   check=True, capture_output=True)
    rows = [[line for line in (tmp_path / name).read_text().splitlines() if not line.startswith("#")]
            for name in ("all.tsv", "one.tsv")]
    column = rows[0][0].split("\t").index("p_adjusted")
    assert rows[0] == rows[1] and all(row.split("\t")[column] != "NA" for row in rows[0][1:])
    with pytest.warns(UserWarning, match="covariate number 2 takes one value"):
        columns = gorva.search(genotypes, phenotype, order=(1, 2), top=4, markers=names, covariates=redundant)
    assert list(columns["p_adjusted"]) == list(gorva.search(genotypes, phenotype, order=(1, 2), top=4, markers=names,
                                                            covariates=pc[:, None])["p_adjusted"])


def lambdas(table_path):
    found = {}
    for line in open(table_path):
        if "lambda_gc" in line:
            words = line.split()
            found[(int(words[2].rstrip(":")), words[3])] = float(words[5])
    return found


def test_structured_data_inflate_lambda_and_covariates_correct_it(tmp_path):
    subprocess.run([SIMULATE, "--out", str(tmp_path / "pop.txt"), "--markers", "300", "--samples", "800",
                    "--seed", "5", "--population-2", "0.5", "--case-fraction", "0.35",
                    "--case-fraction-2", "0.65", "--maf-shift", "0.12",
                    "--covar-out", str(tmp_path / "pop.cov"), "--strata-out", str(tmp_path / "pop.strata")],
                   check=True, capture_output=True)
    table = tmp_path / "table.tsv"
    run = [GORVA_EXE, "--in", str(tmp_path / "pop.txt"), "--out", str(tmp_path / "report.txt"),
           "--table", str(table)]
    subprocess.run(run + ["--order", "1-2"], check=True, capture_output=True)
    found = lambdas(table)
    assert found[(1, "lambda_gc")] > 1.3 and found[(2, "lambda_gc")] > 1.3
    # The adjusted lambda needs two fits per combination: order 1 only.
    subprocess.run(run + ["--order", "1", "--covar", str(tmp_path / "pop.cov")], check=True, capture_output=True)
    assert 0.85 <= lambdas(table)[(1, "lambda_gc_adjusted")] <= 1.15
    # The run's strata enter the models as factors: beside a covariate of
    # pure noise they alone bring lambda_gc_adjusted to 1.
    write_covariates(tmp_path / "noise.cov", np.random.default_rng(2).normal(size=(800, 1)), ["NOISE"])
    noise = run + ["--order", "1", "--covar", str(tmp_path / "noise.cov")]
    subprocess.run(noise, check=True, capture_output=True)
    assert lambdas(table)[(1, "lambda_gc_adjusted")] > 1.3
    subprocess.run(noise + ["--strata", str(tmp_path / "pop.strata")], check=True, capture_output=True)
    assert 0.9 <= lambdas(table)[(1, "lambda_gc_adjusted")] <= 1.1
    # Pairs, from a sample of them as --lambda-sample asks.
    subprocess.run(run + ["--order", "2", "--covar", str(tmp_path / "pop.cov"), "--lambda-sample", "4000"],
                   check=True, capture_output=True)
    found = lambdas(table)
    assert found[(2, "lambda_gc")] > 1.3 and 0.9 <= found[(2, "lambda_gc_adjusted")] <= 1.15
    header = open(table).read()
    assert "lambda_gc = %.4f from 4000 combinations (a uniform random sample)" % found[(2, "lambda_gc")] in header
    fitted = re.search(r"lambda_gc_adjusted = [0-9.]+ from (\d+) combinations \(a uniform random sample\)", header)
    assert fitted and 3900 <= int(fitted.group(1)) <= 4000


@pytest.mark.parametrize("content, options, message", [
    ("FID IID PC1\nF1 999 0.5\n", [], "none of its 1 samples"),
    ("FID IID PC1\nF1 1 0.5\nF1 1 0.7\n", [], "line 3, field 2: sample 1 was already named on line 2"),
    ("FID IID PC1\nF1 1 0.5\nF2 1 0.7\n", [], "line 3, field 2: sample 1 was already named on line 2"),
    ("FID IID PC1\nF1 1 abc\n", [], "line 2, field 3: covariate PC1 is 'abc'"),
    # Every sample missing its value: the warning that left them out comes with the refusal.
    ("FID IID PC1\n" + "".join("F%d %d NA\n" % (s, s) for s in range(1, 21)), [],
     "20 samples of {data} have no value (or -9, NA) for a covariate in {cov} and were left out\n"
     "gorva: {data}: no sample with a case or control phenotype is left"),
    ("FID IID PC1\nF1 1 0.5\n", ["--covar-name", "PC2"], "line 1: no covariate named 'PC2'"),
    ("FID IID PC1 PC1\nF1 1 0.5 0.6\n", [], "line 1, field 4: covariate name 'PC1' was already given in field 3"),
    ("FID IID PC1 PC2\nF1 1 0.5 0.6\n", ["--covar-name", "PC2,PC2"], "--covar-name names the covariate 'PC2' twice"),
    ("FID IID PC1\nF1 1 0.5\n", ["--no-table"], "give --table FILE too"),
    ("FID IID PC1\nF1 1 0.5\n", ["--lambda-sample", "0"], "--lambda-sample 0: not a whole number from 1"),
    ("FID IID PC1\nF1 1 0.5\n", ["--no-table", "--lambda-sample", "9"], "--lambda-sample 9 sizes the lambda"),
])
def test_covariate_file_refusals_create_nothing(tmp_path, content, options, message):
    genotypes, phenotype = generated(20, 3, 0.0, seed=1)
    write_text(tmp_path / "data.txt", genotypes, phenotype, ["a", "b", "c"])
    (tmp_path / "cov.txt").write_text(content)
    table = ["--table", str(tmp_path / "t.tsv")] if "--no-table" not in options else []
    command = [GORVA_EXE, "--in", str(tmp_path / "data.txt"), "--out", str(tmp_path / "report.txt"),
               "--covar", str(tmp_path / "cov.txt")] + table + [o for o in options if o != "--no-table"]
    run = subprocess.run(command, capture_output=True, text=True)
    message = message.format(data=tmp_path / "data.txt", cov=tmp_path / "cov.txt")
    assert run.returncode == 2 and message in run.stderr, run.stderr
    assert not (tmp_path / "report.txt").exists() and not (tmp_path / "t.tsv").exists()
