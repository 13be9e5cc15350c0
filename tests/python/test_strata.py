# Stratified runs (--strata, search(strata=...)) against a model written
# from the definitions: conditional IG and RIG, the association test summed
# over strata and its df, the summed interaction test and the within-strata
# permutations.
import ctypes
import itertools
import os

import numpy as np
import pytest
from scipy.stats import chi2

import gorva
from conftest import GORVA_EXE, as_printed, interaction_divisor, program_table, write_text

PERMUTATIONS = 30
SEED = 5


def two_populations(seed, markers=12):
    """Two populations of different allele frequencies and case fractions,
    mixed in sample order; no marker is associated within either."""
    rng = np.random.default_rng(seed)
    sizes, case_fractions = (420, 280), (0.25, 0.65)
    frequencies = rng.uniform(0.2, 0.8, size=(2, markers))
    frequencies[0, :4], frequencies[1, :4] = 0.15, 0.75  # ancestry-informative markers
    parts, phenotypes, labels = [], [], []
    for population, size in enumerate(sizes):
        parts.append(rng.binomial(2, frequencies[population], size=(size, markers)))
        cases = round(case_fractions[population] * size)
        phenotypes.append(rng.permutation(np.r_[np.ones(cases), np.zeros(size - cases)]))
        labels += ["north" if population == 0 else "south"] * size
    order = rng.permutation(sum(sizes))
    genotypes = np.vstack(parts)[order].astype(np.uint8)
    genotypes[rng.random(genotypes.shape) < 0.03] = 3
    return genotypes, np.concatenate(phenotypes)[order].astype(np.uint8), np.array(labels)[order]


def entropy(counts):
    total = counts.sum()
    shares = counts[counts > 0] / total
    return -(shares * np.log2(shares)).sum()


def stratum_tables(genotypes, phenotype, strata, combination):
    """Per stratum a (cells x 2) table of controls and cases; samples missing
    at the combination count nowhere ("available")."""
    counted = np.all(genotypes[:, combination] != 3, axis=1)
    cell = sum(genotypes[:, m].astype(int) * 3 ** j for j, m in enumerate(combination))
    tables = []
    for stratum in np.unique(strata):
        table = np.zeros((3 ** len(combination), 2), dtype=int)
        chosen = counted & (strata == stratum)
        np.add.at(table, (cell[chosen], phenotype[chosen].astype(int)), 1)
        tables.append(table)
    return tables


def informative(table):
    return table[:, 0].sum() > 0 and table[:, 1].sum() > 0


def conditional_measures(tables):
    N = sum(table.sum() for table in tables)
    gain = spread = 0.0
    for table in filter(informative, tables):
        n = table.sum()
        within = sum(row.sum() / n * entropy(row) for row in table if row.sum() > 0)
        gain += n / N * (entropy(table.sum(axis=0)) - within)
        spread += n / N * entropy(table.sum(axis=0))
    return gain, gain / spread, N


def pooled_test(table):
    """One stratum's G / q and df: the genotype cells expected to hold fewer
    than 5 of the rarer class pooled into one group (a pool still below
    that joins the smallest other group), Williams' divisor q."""
    controls, cases = table.sum(axis=0)
    n = controls + cases
    smallest = 5.0 / (min(controls, cases) / n)
    totals = table.sum(axis=1)
    groups = [row.astype(float) for row in table[totals >= smallest] if row.sum() > 0]
    pool = table[(totals > 0) & (totals < smallest)].sum(axis=0).astype(float)
    if pool.sum() >= smallest or (pool.sum() > 0 and not groups):
        groups.append(pool)
    elif pool.sum() > 0:
        groups[int(np.argmin([g.sum() for g in groups]))] += pool
    if len(groups) < 2:
        return 0.0, 0
    groups = np.array(groups)
    expected = groups.sum(axis=1)[:, None] * np.array([controls, cases])[None, :] / n
    observed = groups > 0
    statistic = 2 * (groups[observed] * np.log(groups[observed] / expected[observed])).sum()
    df = len(groups) - 1
    divisor = 1 + (n / controls + n / cases - 1) * (n * (1 / groups.sum(axis=1)).sum() - 1) / (6 * n * df)
    return max(statistic, 0.0) / divisor, df


def association_test(tables):
    """The summed statistic and df over the strata holding both classes, and its p-value."""
    parts = [pooled_test(table) for table in filter(informative, tables)]
    df = sum(part[1] for part in parts)
    return df, chi2.sf(sum(part[0] for part in parts), df)


def interaction_statistic(table):
    """G2 of [AB][AY][BY] against the saturated model on one 3 x 3 x 2 table
    (first marker the fast index), by iterative proportional fitting, the
    cells expected to hold fewer than 5 of the rarer class left out, over
    the divisor of its kept cells."""
    classes = table.sum(axis=0)
    table = table.copy()
    table[table.sum(axis=1) < 5 * classes.sum() / classes.min()] = 0
    observed = table.reshape(3, 3, 2).transpose(1, 0, 2).astype(float)  # [a, b, y]
    fitted = np.ones_like(observed)
    for _ in range(1000):
        previous = fitted.copy()
        for axes in ((2,), (1,), (0,)):  # the AB, AY and BY margins
            wanted, current = observed.sum(axis=axes), fitted.sum(axis=axes)
            ratio = np.divide(wanted, current, out=np.zeros_like(wanted), where=current > 0)
            fitted *= np.expand_dims(ratio, axes)
        if np.abs(fitted - previous).max() < 1e-12:
            break
    used = observed > 0
    statistic = 2 * (observed[used] * np.log(observed[used] / fitted[used])).sum()
    # Kept cells - A levels used - B levels used + groups of levels joined by cells.
    ab = observed.sum(axis=2) > 0
    group = list(range(6))
    def root(x):
        while group[x] != x:
            x = group[x]
        return x
    for a, b in zip(*np.nonzero(ab)):
        group[root(a)] = root(3 + b)
    levels = [a for a in range(3) if ab[a].any()] + [3 + b for b in range(3) if ab[:, b].any()]
    df = int(ab.sum()) - len(levels) + len({root(x) for x in levels})
    return statistic / interaction_divisor(observed, df), df


def permuted_phenotypes(phenotype, strata, count, seed):
    """Permutation r: r successive shuffles of each stratum's phenotypes in
    sample order, strata in order of first appearance, by the library's
    generator."""
    library = ctypes.CDLL(os.path.join(os.path.dirname(os.path.abspath(GORVA_EXE)), "libgorva.so"))
    library._Z8init_rngm(ctypes.c_ulong(seed))
    shuffle = library._Z13permuteValuesPhi
    labels = list(dict.fromkeys(strata))
    current = phenotype.copy()
    for _ in range(count):
        for label in labels:
            members = np.flatnonzero(strata == label)
            values = (ctypes.c_ubyte * len(members))(*current[members])
            shuffle(values, len(members))
            current[members] = np.frombuffer(values, dtype=np.uint8)
        yield current.copy()


@pytest.fixture(scope="module")
def stratified_run(tmp_path_factory):
    genotypes, phenotype, strata = two_populations(seed=17)
    folder = tmp_path_factory.mktemp("strata")
    names = ["m%d" % m for m in range(genotypes.shape[1])]
    data = folder / "data.txt"
    write_text(data, genotypes, phenotype, names)
    strata_file = folder / "strata.txt"
    strata_file.write_text("FID IID STRATUM\n" + "".join(
        "f%d %d %s\n" % (s, s + 1, label) for s, label in enumerate(strata)))
    rows = program_table(folder, data, ["--strata", str(strata_file), "--order", "1-2", "--top", "6",
                                        "--permutations", str(PERMUTATIONS), "--seed", str(SEED)])
    return genotypes, phenotype, strata, rows


def test_rows_are_the_conditional_model(stratified_run):
    genotypes, phenotype, strata, rows = stratified_run
    for order in (1, 2):
        listed = [row for row in rows if row["order"] == str(order)]
        combinations = list(itertools.combinations(range(genotypes.shape[1]), order))
        gains = {c: conditional_measures(stratum_tables(genotypes, phenotype, strata, list(c)))[0]
                 for c in combinations}
        best = sorted(combinations, key=lambda c: -gains[c])[:len(listed)]
        assert [row["indices"] for row in listed] == ["-".join(map(str, c)) for c in best]
        for row, combination in zip(listed, best):
            tables = stratum_tables(genotypes, phenotype, strata, list(combination))
            gain, relative, counted = conditional_measures(tables)
            df, p_value = association_test(tables)
            assert int(row["cases"]) + int(row["controls"]) == counted
            assert int(row["df"]) == df
            assert float(row["IG"]) == pytest.approx(gain, rel=1e-8)
            assert float(row["RIG"]) == pytest.approx(relative, rel=1e-8)
            assert float(row["p_chisq"]) == pytest.approx(p_value, rel=1e-5)
            if order == 2:
                parts = [interaction_statistic(t) for t in tables if informative(t)]
                expected = chi2.sf(sum(p[0] for p in parts), sum(p[1] for p in parts))
                assert float(row["p_interaction"]) == pytest.approx(expected, rel=1e-4)


def test_permutations_shuffle_within_strata(stratified_run):
    genotypes, phenotype, strata, rows = stratified_run
    pairs = list(itertools.combinations(range(genotypes.shape[1]), 2))
    maxima = [max(conditional_measures(stratum_tables(genotypes, shuffled, strata, list(c)))[0] for c in pairs)
              for shuffled in permuted_phenotypes(phenotype, strata, PERMUTATIONS, SEED)]
    for row in (row for row in rows if row["order"] == "2"):
        reached = sum(maximum >= float(row["IG"]) * (1 - 1e-9) for maximum in maxima)
        assert float(row["p_permutation"]) == pytest.approx((1 + reached) / (PERMUTATIONS + 1), rel=1e-6)


def test_search_with_strata_equals_program_table(tmp_path, stratified_run):
    genotypes, phenotype, strata, rows = stratified_run
    columns = gorva.search(genotypes, phenotype, order=(1, 2), top=6, permutations=PERMUTATIONS, seed=SEED,
                           markers=["m%d" % m for m in range(genotypes.shape[1])], strata=strata)
    assert as_printed(columns) == rows


def test_search_counting_no_sample_or_no_stratum_of_both_classes_is_refused():
    # Under "complete" a marker missing everywhere leaves no sample to count
    # (the pairs' walk over the strata's rows once divided by zero there);
    # the program refuses both runs rather than list rows of NaN.
    genotypes, phenotype, strata = two_populations(3)
    missing_everywhere = genotypes.copy()
    missing_everywhere[:, 5] = 3
    with pytest.raises(ValueError, match=r'only the 0 samples .* hold 0 cases and 0 controls'):
        gorva.search(missing_everywhere, phenotype, order=(1, 2), missing="complete", strata=strata)
    with pytest.raises(ValueError, match="none of the 2 strata holds both a case and a control"):
        gorva.search(genotypes, phenotype, order=(1, 2), strata=phenotype)
