# gorva.search against the program's results table, and its input rules.
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import gorva
from conftest import EXAMPLE, GORVA_EXE, as_printed, generated, program_table


def test_module_version_is_the_programs():
    printed = subprocess.run([GORVA_EXE, "--version"], check=True, capture_output=True, text=True)
    assert printed.stdout.split()[:2] == ["GORVA", gorva.__version__]


def test_bundled_example_equals_program_table(tmp_path):
    data = gorva.read_text(EXAMPLE)
    columns = gorva.search(data.genotypes, data.phenotype, order=(1, 3), top=5, markers=data.markers)
    expected = program_table(tmp_path, EXAMPLE, ["--order", "1-3", "--top", "5"])
    assert as_printed(columns) == expected


@pytest.mark.parametrize("missing, rank", [("none", "ig"), ("mc", "synergy"), ("complete", "rig"),
                                           ("available", "synergy"), ("imputation", "ig"), ("em", "p")])
def test_generated_data_equals_program_table(tmp_path, data_file, missing, rank):
    genotypes, phenotype = generated(300, 9, 0.0 if missing == "none" else 0.08, seed=7)
    names = ["snp%d" % m for m in range(9)]
    columns = gorva.search(genotypes, phenotype, order=(1, 3), top=4, missing=missing, rank=rank,
                           permutations=20, seed=3, markers=names, threads=2)
    expected = program_table(tmp_path, data_file(genotypes, phenotype, names),
                             ["--order", "1-3", "--top", "4", "--missing", missing, "--rank", rank,
                              "--permutations", "20", "--seed", "3", "--threads", "2"])
    assert as_printed(columns) == expected


def test_every_combination_within_max_p_equals_program_table(tmp_path, data_file):
    genotypes, phenotype = generated(300, 12, 0.08, seed=5)
    names = ["snp%d" % m for m in range(12)]
    columns = gorva.search(genotypes, phenotype, order=(1, 2), max_p=0.3, permutations=10, markers=names)
    expected = program_table(tmp_path, data_file(genotypes, phenotype, names),
                             ["--order", "1-2", "--max-p", "0.3", "--permutations", "10"])
    assert len(columns["rank"]) > 10
    assert as_printed(columns) == expected


def test_layouts_and_integer_widths_give_equal_results():
    genotypes, phenotype = generated(400, 12, 0.05, seed=11)
    binary = (genotypes == 1)
    reference = gorva.search(genotypes, phenotype, order=(1, 2))
    for variant in [np.asfortranarray(genotypes), genotypes.astype(np.int8),
                    np.asfortranarray(genotypes.astype(np.int32)), genotypes.T.copy().T,
                    genotypes.astype(np.int64)[:, ::-1][:, ::-1], genotypes.astype(">i2"),
                    genotypes.astype(">u8"), np.ma.masked_array(genotypes)]:  # a mask masking nothing
        assert as_printed(gorva.search(variant, phenotype.astype(bool), order=(1, 2))) == as_printed(reference)
    assert as_printed(gorva.search(binary, phenotype, order=2)) == \
        as_printed(gorva.search(binary.astype(np.uint16), phenotype, order=2))


@pytest.mark.parametrize("change, message", [
    (dict(genotypes=np.zeros((5,), np.uint8)), "2-D"),
    (dict(genotypes=np.full((20, 4), 4, np.int32)), "genotype code 4 is not 0, 1, 2 or 3"),
    (dict(genotypes=np.full((20, 4), -1, np.int8)), "genotype code -1"),
    (dict(phenotype=np.full(20, 2)), "1 = case, 0 = control"),
    (dict(phenotype=np.zeros(19)), "19 values for 20 samples"),
    (dict(phenotype=["1", "0"] * 10), "phenotype must hold numbers, not <U1 values"),
    (dict(covariates=[["0.5"]] * 20), "covariates must hold numbers, not <U3 values"),
    # A masked array hands numpy the values under its mask; complex values lose their imaginary part.
    (dict(genotypes=np.ma.masked_equal(np.tile([0, 1, 2, 3], (20, 1)), 3)),
     r"genotypes is a masked array with 20 masked values, .*genotypes\.filled\(3\)"),
    (dict(phenotype=np.ma.masked_array(np.arange(20) % 2, mask=np.arange(20) == 4)),
     "phenotype is a masked array with 1 masked values"),
    (dict(covariates=np.ma.masked_invalid(np.r_[np.nan, np.ones(19)].reshape(20, 1))),
     "covariates is a masked array with 1 masked values"),
    (dict(strata=np.ma.masked_array(np.arange(20) % 3, mask=np.arange(20) == 0)),
     "strata is a masked array with 1 masked values"),
    (dict(phenotype=(np.arange(20) % 2) * 1j), "phenotype must hold real numbers, not complex128 values"),
    (dict(phenotype=np.r_[1, np.zeros(19)]), "holds 1 case and 19 controls; .* at least 2 of each"),
    (dict(markers=["a", "b\0c", "d", "e"]), r"markers\[1\] holds a NUL character"),
    (dict(markers=["a", "b", "c\td", "e"]), r"markers\[2\] holds a tab, which would split"),
    (dict(markers=["a\n", "b", "c", "e"]), r"markers\[0\] holds a line feed"),
    (dict(markers=["a", "b", "c", "e" * 255]), r"markers\[3\]: the marker name has 255 characters; at most 254"),
    (dict(strata=[1.0, 2.0, float("nan")] + [1.0] * 17), r"strata\[2\] is nan, a label not equal to itself"),
    (dict(strata=["a", "b", "a", None] + ["b"] * 16), r"strata\[3\] is None, a missing label"),
    (dict(missing="mean"), "not a missing-data method"),
    (dict(rank="auc"), "unknown measure"),
    (dict(permutations=-1), r"permutations=-1: not a whole number from 0 to 2147483647"),
    (dict(seed=2**32), r"seed=4294967296: not a whole number from 0 to 4294967295"),
    (dict(top=0), "top=0: not a whole number from 1"),
    (dict(threads=10**30), "threads=1000000000000000000000000000000: not a whole number from 0 to 4096"),
    (dict(max_p=1.5), "not a probability"),
    (dict(order=(3, 2)), r"order=\(3, 2\): the first order 3 is above the last 2"),
    (dict(order=2**31 - 1), "order=2147483647: the orders must lie from 1 to 4, the number of markers"),
    (dict(order=(1, 5)), "the orders must lie from 1 to 4"),
])
def test_input_the_search_cannot_take_is_a_value_error(change, message):
    arguments = dict(genotypes=np.zeros((20, 4), np.uint8), phenotype=np.arange(20) % 2)
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        gorva.search(**arguments)


def test_phenotype_with_a_value_that_is_no_number_is_told_so():
    # A nullable column's NA fails the conversion to numbers: it was told as a phenotype that is not 1-D.
    pandas = pytest.importorskip("pandas")
    phenotype = pandas.Series(np.arange(20) % 2, dtype="Int64")
    phenotype[3] = pandas.NA
    with pytest.raises(ValueError, match="phenotype holds a value that is not a number"):
        gorva.search(np.zeros((20, 4), np.uint8), phenotype)


@pytest.mark.parametrize("change, message", [
    (dict(order="2"), r"order='2': not a whole number from 1 to 4 \(an int, not str\)"),
    (dict(order=(1, 2.0)), "an int, not float"),
    (dict(top=True), "top=True: .*not bool"),
    (dict(top=np.bool_(True)), "top=True: .*not bool_"),
    (dict(permutations=1e3), "permutations=1000.0: .*not float"),
    (dict(seed="1"), "seed='1'"),
    (dict(max_p="0.05"), "max_p='0.05': not a number"),
    (dict(missing=3), "missing=3: a str"),
    (dict(markers=["a", 2, "c", "d"]), r"markers\[1\]=2: a name is a str, not int"),
    (dict(markers="abcd"), "markers='abcd': a sequence"),
    # NumPy makes None a 0-D array, which was told as the wrong shape.
    (dict(genotypes=None), "genotypes=None: a 2-D array"),
    (dict(phenotype=None), "phenotype=None: a 1-D array"),
])
def test_argument_of_the_wrong_type_is_a_type_error_naming_it(change, message):
    arguments = dict(genotypes=np.zeros((20, 4), np.uint8), phenotype=np.arange(20) % 2)
    arguments.update(change)
    with pytest.raises(TypeError, match=message):
        gorva.search(**arguments)


def test_marker_names_get_the_file_readers_warnings():
    genotypes, phenotype = generated(40, 5, 0.0, seed=2)
    with pytest.warns(UserWarning) as caught:
        gorva.search(genotypes, phenotype, order=1, markers=["a", "", "b,c", "a", "d\re"])
    assert [str(w.message) for w in caught] == [
        "gorva: warning: 1 marker name of markers is empty (markers[1]); the table names such a marker by nothing",
        "gorva: warning: 1 marker names of markers hold a comma (first: markers[2]: b,c); the report's lines and the "
        "table's markers column are comma-separated, so such a name reads as several there",
        "gorva: warning: 1 marker names of markers hold a carriage return (first: markers[4]); pandas and R end a "
        "line of the table there, and a terminal shows the report's line overwritten",
        "gorva: warning: 1 marker names of markers repeat an earlier one (first: markers[3]: a was already "
        "markers[0]); the report names markers by name, so rename them to tell them apart",
    ]


def test_numpy_integers_are_whole_numbers():
    genotypes, phenotype = generated(60, 4, 0.0, seed=1)
    columns = gorva.search(genotypes, phenotype, order=np.int64(2), top=np.uint8(2), threads=np.int32(1),
                           max_p=np.float32(0.9))
    assert set(columns["order"]) == {2}


def test_search_beyond_the_memory_budget_is_a_memory_error(monkeypatch):
    monkeypatch.setenv("GORVA_TEST_MEMORY_LIMIT", "1000")
    with pytest.raises(MemoryError, match="needs .* MB"):
        gorva.search(np.zeros((20, 4), np.uint8), np.arange(20) % 2)


def test_dataframe_of_the_columns():
    pandas = pytest.importorskip("pandas")
    genotypes, phenotype = generated(200, 6, 0.0, seed=5)
    frame = pandas.DataFrame(gorva.search(genotypes, phenotype, top=3))
    assert list(frame.columns[:4]) == ["order", "rank", "markers", "indices"]
    assert len(frame) == 3 and frame["rank"].tolist() == [1, 2, 3]


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm()


# The sanitizers' build counts some fifty times slower: order 3 there.
SANITIZED = bool(os.environ.get("GORVA_SANITIZED_BUILD"))


# Each search takes minutes: only the signal can end the call in time. The
# first stops between batches of the walk, the second between permutations.
@pytest.mark.parametrize("signum, expected, search", [
    (signal.SIGINT, KeyboardInterrupt, dict(order=3 if SANITIZED else 4)),
    (signal.SIGALRM, Alarm, dict(order=2, permutations=100000)),
])
def test_signal_during_a_long_search_raises_within_a_second(signum, expected, search):
    genotypes, phenotype = generated(2000, 300, 0.0, seed=9)
    previous = signal.signal(signal.SIGALRM, raise_alarm)
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signum)

    timer = threading.Timer(0.3, send)
    try:
        timer.start()
        with pytest.raises(expected):
            gorva.search(genotypes, phenotype, **search)
        raised = time.monotonic()
    finally:
        timer.cancel()
        signal.signal(signal.SIGALRM, previous)
    assert sent and raised - sent[0] < (5.0 if SANITIZED else 1.0)
    # The stopped search left nothing behind that a new one trips on.
    assert len(gorva.search(genotypes[:, :5], phenotype, order=2, top=1)["rank"]) == 1
