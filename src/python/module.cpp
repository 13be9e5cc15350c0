// The Python module `gorva`: the search on arrays a notebook already holds,
// in-process, and the program's readers. Argument checking and conversion
// live here; the search and the readers know nothing of Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/gorva.h"
#include "engine/significance/table_columns.h"
#include "io/field_scanner.h"
#include "io/messages.h"
#include "io/option_values.h"
#include "io/repeated_names.h"
#include "python/array_search.h"
#include "python/data_readers.h"
#include "python/interruptible_search.h"
#include "python/python_arguments.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

std::string dtypeName(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

// Throws unless every code is 0, 1, 2 or 3, naming the first that is not.
template <typename T>
void checkCodes(const py::array& array) {
  const auto* base = static_cast<const char*>(array.data());
  const py::ssize_t samples = array.shape(0);
  const py::ssize_t markers = array.shape(1);
  for (py::ssize_t m = 0; m < markers; ++m) {
    for (py::ssize_t s = 0; s < samples; ++s) {
      T code;
      std::memcpy(&code, base + s * array.strides(0) + m * array.strides(1), sizeof code);
      bool valid = code <= T{3};
      if constexpr (std::is_signed_v<T>) valid = valid && code >= T{0};
      if (valid) continue;
      throw BadSearchInput("genotypes[" + std::to_string(s) + ", " + std::to_string(m) +
                           "]: genotype code " + std::to_string(code) +
                           " is not 0, 1, 2 or 3 (3 = missing)");
    }
  }
}

void checkCodesOf(const py::array& array) {
  const char kind = array.dtype().kind();
  const auto size = array.itemsize();
  if (kind == 'b') return;  // False and True are codes 0 and 1
  if (kind == 'i' && size == 1) return checkCodes<std::int8_t>(array);
  if (kind == 'i' && size == 2) return checkCodes<std::int16_t>(array);
  if (kind == 'i' && size == 4) return checkCodes<std::int32_t>(array);
  if (kind == 'i' && size == 8) return checkCodes<std::int64_t>(array);
  if (kind == 'u' && size == 1) return checkCodes<std::uint8_t>(array);
  if (kind == 'u' && size == 2) return checkCodes<std::uint16_t>(array);
  if (kind == 'u' && size == 4) return checkCodes<std::uint32_t>(array);
  if (kind == 'u' && size == 8) return checkCodes<std::uint64_t>(array);
  throw BadSearchInput("genotypes must hold integer codes 0-3, not " + dtypeName(array) + " values");
}

// Values an array would give without a word for what they are: a masked
// array's masked entries (numpy hands over the values under the mask, so a
// masked genotype counted as its stale code and a masked phenotype as a
// class), and for numbers, text (even text that reads as one: the
// genotypes refuse it too, and a column of words would be told as the wrong
// shape) and complex values (their imaginary part dropped, 1j read as 0).
// `instead` says what to give.
void refuseUnreadValues(const char* name, const py::object& values, const char* instead, bool numbers = true) {
  const py::module_ numpy = py::module_::import("numpy");
  if (py::isinstance(values, numpy.attr("ma").attr("MaskedArray"))) {
    const auto masked = numpy.attr("count_nonzero")(numpy.attr("ma").attr("getmaskarray")(values)).cast<long long>();
    if (masked > 0) {
      throw BadSearchInput(std::string(name) + " is a masked array with " + std::to_string(masked) +
                           " masked values, which would be read as the values under the mask: " + instead);
    }
  }
  if (!numbers) return;
  const py::array given = py::array::ensure(values);
  if (given && (given.dtype().kind() == 'U' || given.dtype().kind() == 'S')) {
    throw BadSearchInput(std::string(name) + " must hold numbers, not " + dtypeName(given) + " values");
  }
  if (given && given.dtype().kind() == 'c') {
    throw BadSearchInput(std::string(name) + " must hold real numbers, not " + dtypeName(given) + " values");
  }
  PyErr_Clear();
}

// The array of the codes, its shape checked, in this machine's byte order.
py::array genotypeArray(const py::object& genotypes) {
  // NumPy makes None a 0-D array of an object, which would be told as a shape.
  if (genotypes.is_none()) throw py::type_error("genotypes=None: a 2-D array of genotype codes (samples x markers), not NoneType");
  refuseUnreadValues("genotypes", genotypes, "fill it first (genotypes.filled(3) makes masked genotypes missing)",
                     false);
  py::array array = py::array::ensure(genotypes);
  if (!array) throw BadSearchInput("genotypes must be a 2-D array of integer codes 0-3");
  if (array.ndim() != 2) {
    throw BadSearchInput("genotypes must be 2-D (samples x markers), not " +
                         std::to_string(array.ndim()) + "-D");
  }
  if (array.shape(0) > INT32_MAX || array.shape(1) > INT32_MAX)
    throw BadSearchInput("genotypes: too many samples or markers for this version");
  // Codes are read by value: another byte order is copied into this one's
  // first, or a big-endian 1 would be read as 256.
  if (!array.dtype().attr("isnative").cast<bool>()) {
    array = py::array::ensure(array.attr("astype")(array.dtype().attr("newbyteorder")("=")));
  }
  return array;
}

// Checks every code and points the request at their lowest bytes.
void viewCodes(const py::array& array, ArraySearchRequest& request) {
  checkCodesOf(array);
  request.sample_count = static_cast<int>(array.shape(0));
  request.marker_count = static_cast<int>(array.shape(1));
  const long low_byte = std::endian::native == std::endian::little ? 0 : array.itemsize() - 1;
  request.genotypes = GenotypeView{static_cast<const unsigned char*>(array.data()) + low_byte,
                                   static_cast<long>(array.strides(0)),
                                   static_cast<long>(array.strides(1))};
}

std::vector<unsigned char> phenotypeValues(const py::object& phenotype) {
  if (phenotype.is_none()) throw py::type_error("phenotype=None: a 1-D array of 1 (case) and 0 (control), not NoneType");
  refuseUnreadValues("phenotype", phenotype, "leave samples without a phenotype out of every array first");
  const auto values = py::array_t<double, py::array::forcecast>::ensure(phenotype);
  // A value that is no number (pandas' NA in a nullable column, None among
  // objects that numpy cannot turn into nan) fails the conversion itself.
  if (!values) {
    PyErr_Clear();
    throw BadSearchInput("phenotype holds a value that is not a number (a missing value such as pandas' NA?): 1 = "
                         "case, 0 = control; leave samples without a phenotype out of every array first");
  }
  if (values.ndim() != 1)
    throw BadSearchInput("phenotype must be 1-D: 1 = case, 0 = control, one value per sample");
  std::vector<unsigned char> codes(values.shape(0));
  for (py::ssize_t s = 0; s < values.shape(0); ++s) {
    const double value = values.at(s);
    if (value != 0 && value != 1) {
      throw BadSearchInput("phenotype[" + std::to_string(s) + "] is " + py::repr(py::float_(value)).cast<std::string>() +
                           ": 1 = case, 0 = control");
    }
    codes[s] = value == 1 ? 1 : 0;
  }
  return codes;
}

// An order or a (first, last) pair, each within 1 .. markers.
void readOrder(const py::object& order, long long markers, ArraySearchRequest& request) {
  const std::string spelled = spelledArgument("order", order);
  const std::string range = wholeNumberRange(1, markers);
  long long first = 0;
  long long last = 0;
  if (isSequenceArgument(order)) {
    const auto pair = py::reinterpret_borrow<py::sequence>(order);
    if (py::len(pair) != 2) throw BadSearchInput(spelled + ": an order or a (first, last) pair");
    first = integerArgument(spelled, pair[0], range);
    last = integerArgument(spelled, pair[1], range);
  } else {
    first = last = integerArgument(spelled, order, range);
  }
  // A search without markers is refused for that, with its own words.
  if (markers < 1) return;
  const std::string refusal = orderRangeRefusal(spelled, first, last, markers, "order=2 or order=(2, 3)");
  if (!refusal.empty()) throw BadSearchInput(refusal);
  request.first_order = static_cast<int>(first);
  request.last_order = static_cast<int>(last);
}

int rankOfWord(const py::object& word) {
  int rank = kRankByIG;
  const std::string text = wordArgument("rank", word);
  const std::string problem = rankWordProblem(text, rank);
  if (!problem.empty()) throw BadSearchInput("rank=\"" + text + "\": " + problem);
  return rank;
}

PermutationPlan permutationPlan(const py::object& permutations, const py::object& seed) {
  PermutationPlan plan;
  plan.count = static_cast<int>(wholeArgument("permutations", permutations, 0, kMaxPermutations));
  plan.seed = static_cast<unsigned long>(wholeArgument("seed", seed, 0, kMaxSeed));
  return plan;
}

void warn(const std::string& lines) {
  py::module_ warnings = py::module_::import("warnings");
  std::size_t start = 0;
  while (start < lines.size()) {
    const std::size_t end = lines.find('\n', start);
    warnings.attr("warn")(lines.substr(start, end - start));
    start = end == std::string::npos ? lines.size() : end + 1;
  }
}

std::vector<std::string> markerNames(const py::object& markers, int count) {
  std::vector<std::string> names;
  if (markers.is_none()) {
    for (int m = 0; m < count; ++m) names.push_back("m" + std::to_string(m));
    return names;
  }
  names = nameArguments("markers", markers);
  for (std::size_t m = 0; m < names.size(); ++m) {
    // The search reads names as C strings: "a\0b" would come back as "a".
    const std::string place = "markers[" + std::to_string(m) + "]";
    if (names[m].find('\0') != std::string::npos)
      throw BadSearchInput(place + " holds a NUL character, which would cut the name there");
    // The table's lines are split at tabs and the report's at line feeds: no
    // reader yields such a name, and a name the readers would refuse as too
    // long is refused here too, so an array search takes what a file run takes.
    const std::size_t breaking = names[m].find_first_of("\t\n");
    if (breaking != std::string::npos) {
      throw BadSearchInput(place + " holds a " + (names[m][breaking] == '\t' ? "tab" : "line feed") +
                           ", which would split the table's and the report's lines there");
    }
    if (names[m].size() > static_cast<std::size_t>(kMaxFieldText)) {
      throw BadSearchInput(place + ": the marker name has " + std::to_string(names[m].size()) +
                           " characters; at most " + std::to_string(kMaxFieldText) + " are allowed");
    }
  }
  if (static_cast<int>(names.size()) != count) {
    throw BadSearchInput("markers has " + std::to_string(names.size()) + " names for " +
                         std::to_string(count) + " markers");
  }
  return names;
}

// What the program's readers warn of in a file's marker names: empty names,
// names holding a comma or a carriage return and repeated names, with the
// readers' words.
std::string markerNameWarnings(const std::vector<std::string>& names) {
  RepeatedNames repeats("marker names", "name");
  int empty = 0;
  std::size_t first_empty = 0;
  for (std::size_t m = 0; m < names.size(); ++m) {
    const std::string place = "markers[" + std::to_string(m) + "]";
    if (names[m].empty() && empty++ == 0) first_empty = m;
    repeats.note(names[m], place, place);
  }
  std::string lines;
  if (empty > 0) {
    const bool one = empty == 1;
    lines = warningLine(std::to_string(empty) + (one ? " marker name of markers is" : " marker names of markers are") +
                        " empty (" + (one ? "" : "first: ") + "markers[" + std::to_string(first_empty) +
                        "]); the table names such a marker by nothing");
  }
  return lines + repeats.warning("markers");
}

template <typename Value>
py::array_t<Value> numberColumn(const TableColumn& column, const std::vector<TableLine>& lines) {
  py::array_t<Value> values(static_cast<py::ssize_t>(lines.size()));
  for (std::size_t i = 0; i < lines.size(); ++i) values.mutable_at(i) = static_cast<Value>(column.number(lines[i]));
  return values;
}

// The program's table columns, each as one array (text columns of objects).
py::dict tableColumns(const std::vector<ArrayTableRow>& rows, const std::vector<std::string>& names) {
  std::vector<const char*> name_texts;
  for (const std::string& name : names) name_texts.push_back(name.c_str());
  std::vector<TableLine> lines;
  for (const ArrayTableRow& row : rows)
    lines.push_back({row.order, row.rank, &row.row, &row.adjusted, name_texts.data(), nullptr});
  const py::object as_array = py::module_::import("numpy").attr("array");
  py::dict columns;
  for (const TableColumn& column : resultsTableColumns()) {
    if (column.kind == ColumnKind::kCount) {
      columns[column.name] = numberColumn<int>(column, lines);
    } else if (column.kind != ColumnKind::kText) {
      columns[column.name] = numberColumn<double>(column, lines);
    } else {
      py::list texts;
      for (const TableLine& line : lines) texts.append(column.text(line));
      columns[column.name] = as_array(texts, "dtype"_a = "object");
    }
  }
  return columns;
}

// A (samples x covariates) array of finite numbers, by value.
void readCovariates(const py::object& covariates, ArraySearchRequest& request) {
  refuseUnreadValues("covariates", covariates, "leave samples without every covariate out of every array first");
  const auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(covariates);
  if (!values || values.ndim() != 2 || values.shape(0) != request.sample_count || values.shape(1) < 1) {
    throw BadSearchInput("covariates must be a 2-D array of numbers, one row per sample (" +
                         std::to_string(request.sample_count) + ") and at least one column");
  }
  request.covariate_count = static_cast<int>(values.shape(1));
  request.covariates.assign(values.data(), values.data() + values.size());
  for (std::size_t i = 0; i < request.covariates.size(); ++i) {
    if (!std::isfinite(request.covariates[i])) {
      throw BadSearchInput("covariates: row " + std::to_string(i / request.covariate_count) +
                           " holds a value that is not a finite number (leave such samples out)");
    }
  }
}

// Any 1-D sequence of hashable labels, one per sample; strata numbered in
// order of first appearance.
void stratumIndices(const py::object& strata, ArraySearchRequest& request) {
  refuseUnreadValues("strata", strata, "leave samples without a stratum out of every array first", false);
  const py::array labels = py::module_::import("numpy").attr("asarray")(strata, "dtype"_a = "object");
  if (labels.ndim() != 1) throw BadSearchInput("strata must be 1-D, one label per sample");
  py::dict index;
  for (const py::handle label : labels) {
    // A label unequal to itself (nan, pandas' NA) would make each of its
    // samples a stratum of one class, left out of every measure unsaid.
    const py::object same = py::reinterpret_steal<py::object>(PyObject_RichCompare(label.ptr(), label.ptr(), Py_EQ));
    const int equal = same ? PyObject_IsTrue(same.ptr()) : -1;
    if (equal != 1) {
      PyErr_Clear();
      throw BadSearchInput("strata[" + std::to_string(request.strata.size()) + "] is " +
                           py::repr(label).cast<std::string>() +
                           ", a label not equal to itself: leave samples without a stratum out of every array first");
    }
    // None is how an object column (pandas, a list) marks a missing label:
    // as a label of its own it gathered the samples of no stratum into one.
    if (label.is_none()) {
      throw BadSearchInput("strata[" + std::to_string(request.strata.size()) +
                           "] is None, a missing label: leave samples without a stratum out of every array first");
    }
    if (!index.contains(label)) index[label] = py::int_(static_cast<int>(py::len(index)));
    request.strata.push_back(index[label].cast<int>());
  }
  request.stratum_count = static_cast<int>(py::len(index));
}

py::dict search(const py::object& genotypes, const py::object& phenotype, const py::object& order,
                const py::object& top, const py::object& missing, const py::object& rank,
                const py::object& permutations, const py::object& seed, const py::object& max_p,
                const py::object& threads, const py::object& markers, const py::object& covariates,
                const py::object& strata) {
  // Every argument is checked before the codes are read.
  ArraySearchRequest request;
  request.top = static_cast<int>(wholeArgument("top", top, 1, INT_MAX));
  request.missing_code = missingCodeOfWord(wordArgument("missing", missing));
  request.rank = rankOfWord(rank);
  request.permutations = permutationPlan(permutations, seed);
  if (!max_p.is_none()) {
    request.max_p = realArgument("max_p", max_p);
    const std::string problem = maxPProblem(request.max_p);
    if (!problem.empty()) throw BadSearchInput(spelledArgument("max_p", max_p) + ": " + problem);
  }
  request.threads = threads.is_none() ? 0 : static_cast<int>(wholeArgument("threads", threads, 0, kMostWorkerThreads));
  const py::array held = genotypeArray(genotypes);
  readOrder(order, held.shape(1), request);
  viewCodes(held, request);
  request.phenotype = phenotypeValues(phenotype);
  request.marker_names = markerNames(markers, request.marker_count);
  if (!markers.is_none()) warn(markerNameWarnings(request.marker_names));
  if (!covariates.is_none()) readCovariates(covariates, request);
  if (!strata.is_none()) stratumIndices(strata, request);
  const ArraySearchResult result = searchInterruptibly(request);
  warn(result.warnings);
  return tableColumns(result.rows, request.marker_names);
}

// What a reader gives Python: the arrays (genotypes samples x markers, a
// view of the marker-major bytes), the names, and its warnings as Python
// warnings.
py::object pythonData(LoadedData&& loaded) {
  warn(loaded.warnings);
  return py::cast(std::move(loaded));
}

constexpr const char* kSearchDoc = R"(Exhaustive search of every combination of markers, in-process.

genotypes: 2-D array-like of codes 0, 1, 2 and 3 (missing), shape
  (samples, markers), any integer or bool dtype, C or Fortran order; read
  where it lies (no copy), except under missing="imputation" or "em" and
  for the other byte order, which is copied into this machine's first.
phenotype: 1-D, 1 = case, 0 = control (booleans accepted), one per sample.
A masked array with masked entries is refused as any of the arrays: its
values under the mask would be read.
order: an int, or a (first, last) pair of orders to search.
top: combinations kept per order.
missing: "none", "mc", "complete", "available", "imputation" or "em".
rank: "ig", "rig", "synergy" or "p" (p_chisq, smallest first), the
measure that ranks the combinations.
permutations, seed: phenotype permutations for p_permutation (the max
  statistic of each order) and the generator's seed.
max_p: with a bound, every combination of each order whose p_chisq is at
  most it (not only the top ones), ranked by the measure; rows beyond memory
  wait in a temporary file.
threads: worker threads; None or 0 = every hardware thread.
markers: names of the markers (default "m0", "m1", ...).
covariates: 2-D float array, one row per sample, finite numbers: each row
  gets p_adjusted and p_interaction_adjusted, logistic-regression
  likelihood-ratio tests adjusted for them (leave samples with missing
  values out of every array first).
strata: 1-D labels, one per sample (any hashable values): every measure is
  then conditional on the stratum and permutations shuffle within strata,
  as --strata does.

Returns a dict of NumPy arrays, one per column of the results table
(order, rank, markers, indices, cases, controls, df, IG, RIG, synergy,
p_chisq, p_bonferroni, p_permutation, p_interaction, p_adjusted,
p_interaction_adjusted, positions, cells), orders ascending, best first, NaN
where the table writes NA: pandas.DataFrame(gorva.search(...))
is the table (but for p-values below about 2.2e-308, which the table prints
from their logarithm and a float holds as 0.0 or with fewer digits).
Combinations whose measures are not numbers are left out, with a warning.

Raises TypeError for an argument of the wrong type (order="2"),
ValueError for input the search cannot take, MemoryError when the search
does not fit in the memory available. A signal handler's exception
(KeyboardInterrupt on Ctrl-C) stops the search within a fraction of a second
and is raised in its place.)";

}  // namespace

PYBIND11_MODULE(gorva, module) {
  module.doc() =
      "GORVA: exhaustive multi-locus association search (information gain) on NumPy arrays.";
  module.attr("__version__") = GORVA_VERSION;
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const SearchOutOfMemory& error) {
      PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const DataFileError& error) {
      PyErr_SetString(PyExc_OSError, error.what());
    }
  });

  py::class_<LoadedData>(module, "GenotypeData",
                         "Genotypes and phenotype read from files, ready for gorva.search.")
      .def_property_readonly(
          "genotypes",
          [](py::object self) {
            auto& data = self.cast<LoadedData&>();
            const py::ssize_t samples = data.sample_count;
            return py::array_t<std::uint8_t>({samples, static_cast<py::ssize_t>(data.marker_count)},
                                             {py::ssize_t{1}, samples}, data.genotypes.data(), self);
          },
          "uint8 codes 0-3 (3 = missing), shape (samples, markers), Fortran order.")
      .def_property_readonly(
          "phenotype",
          [](py::object self) {
            auto& data = self.cast<LoadedData&>();
            return py::array_t<std::uint8_t>({static_cast<py::ssize_t>(data.sample_count)},
                                             {py::ssize_t{1}}, data.phenotype.data(), self);
          },
          "uint8, 1 = case, 0 = control.")
      .def_readonly("markers", &LoadedData::markers, "Marker names, in column order.")
      .def_readonly("samples", &LoadedData::samples,
                    "Sample IIDs, in row order (text files: the data line number, as --keep and --covar name them).")
      .def_readonly("families", &LoadedData::families, "Sample FIDs, in row order.")
      .def("__repr__", [](const LoadedData& data) {
        return "<gorva.GenotypeData: " + std::to_string(data.sample_count) + " samples x " +
               std::to_string(data.marker_count) + " markers>";
      });

  module.def("search", &search, kSearchDoc, "genotypes"_a, "phenotype"_a, "order"_a = 2,
             "top"_a = 10, "missing"_a = "available", "rank"_a = "ig", "permutations"_a = 0,
             "seed"_a = 1, "max_p"_a = py::none(), "threads"_a = py::none(),
             "markers"_a = py::none(), "covariates"_a = py::none(), "strata"_a = py::none());
  module.def(
      "read_text", [](const py::object& path) { return pythonData(readTextData(pathArgument("path", path))); },
      "Reads a tab-separated data file as the gorva program does (phenotype in the first\n"
      "column, 1 = case; a header of marker names). Returns a GenotypeData. Raises OSError\n"
      "when the file cannot be opened, ValueError when its contents are refused; the\n"
      "program's warnings become Python warnings.",
      "path"_a);
  module.def(
      "read_plink",
      [](const py::object& prefix, const py::object& pheno) {
        return pythonData(
            readPlinkData(pathArgument("prefix", prefix), pheno.is_none() ? "" : pathArgument("pheno", pheno)));
      },
      "Reads PREFIX.bed, PREFIX.bim and PREFIX.fam as gorva --bfile does: the samples with\n"
      "a case (2) or control (1) phenotype, named by their .fam sample id. pheno: a\n"
      "phenotype file (FID IID value, as --pheno reads it) instead of the .fam's column 6.\n"
      "Returns a GenotypeData. Raises OSError when a file cannot be opened, ValueError\n"
      "when the file set is refused.",
      "prefix"_a, "pheno"_a = py::none());
  module.def(
      "read_vcf",
      [](const py::object& path, const py::object& pheno) {
        return pythonData(readVcfData(pathArgument("path", path), pathArgument("pheno", pheno)));
      },
      "Reads a VCF or BCF (plain or compressed) as gorva --vcf does: biallelic records with\n"
      "GT, codes = copies of the ALT allele, 3 missing; the phenotypes come from `pheno`\n"
      "(FID IID value, as --pheno reads it), samples without one are left out. Returns a\n"
      "GenotypeData. Raises OSError when a file cannot be opened, ValueError when a file is\n"
      "refused.",
      "path"_a, "pheno"_a);
}
