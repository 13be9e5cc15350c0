# Shared helpers: generated data, the program run on the same data, and
# its results table read back.
import os
import subprocess

import numpy as np
import pytest

GORVA_EXE = os.environ.get("GORVA_EXE", "gorva")
SOURCE_DIR = os.environ.get("GORVA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE = os.path.join(SOURCE_DIR, "examples", "example.txt")


def generated(samples, markers, missing_share, seed):
    """Codes 0-2 with a share of 3 (missing), a phenotype tied to markers 0 and 1."""
    rng = np.random.default_rng(seed)
    genotypes = rng.integers(0, 3, size=(samples, markers), dtype=np.uint8)
    risk = (genotypes[:, 0] == 2) ^ (genotypes[:, 1] == 0)
    phenotype = (rng.random(samples) < np.where(risk, 0.7, 0.35)).astype(np.uint8)
    genotypes[rng.random((samples, markers)) < missing_share] = 3
    return genotypes, phenotype


def write_text(path, genotypes, phenotype, names):
    with open(path, "w") as out:
        out.write("\t".join(["Class"] + list(names)) + "\n")
        for s in range(genotypes.shape[0]):
            out.write("\t".join(str(v) for v in [phenotype[s], *genotypes[s]]) + "\n")


def program_table(tmp_path, data_file, options):
    """The program's results table for `data_file` (only what follows '#' lines)."""
    table = tmp_path / "table.tsv"
    command = [GORVA_EXE, "--in", str(data_file), "--out", str(tmp_path / "report.txt"),
               "--table", str(table)] + options
    subprocess.run(command, check=True, capture_output=True)
    lines = [line for line in table.read_text().splitlines() if not line.startswith("#")]
    header = lines[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in lines[1:]]


def interaction_divisor(observed, df):
    """The divisor of the interaction test's G2 on its kept cells, observed[a, b, y]:
    the cells' Williams-expected G (groups less one, times Williams' q) less
    each marker's (its genotypes as the groups), over df, at least 1."""
    controls, cases = observed.sum(axis=(0, 1))
    n = controls + cases

    def expected_g(totals):
        totals = totals[totals > 0]
        if len(totals) < 2:
            return 0.0
        return len(totals) - 1 + (n / controls + n / cases - 1) * (n * (1 / totals).sum() - 1) / (6 * n)

    cells = observed.sum(axis=2)
    excess = expected_g(cells.ravel()) - expected_g(cells.sum(axis=1)) - expected_g(cells.sum(axis=0))
    return max(1.0, excess / df)


def as_printed(columns):
    """The columns of gorva.search as the program prints them, row by row."""
    def text(name, value):
        if isinstance(value, float) or isinstance(value, np.floating):
            if np.isnan(value):
                return "NA"
            return "%.6E" % value if name.startswith("p_") else "%.9g" % value
        return str(value)
    names = list(columns)
    count = len(columns["order"])
    return [{name: text(name, columns[name][i]) for name in names} for i in range(count)]


@pytest.fixture
def data_file(tmp_path):
    def write(genotypes, phenotype, names):
        path = tmp_path / "data.txt"
        write_text(path, genotypes, phenotype, names)
        return path
    return write
