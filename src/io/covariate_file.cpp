#include "io/covariate_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "io/messages.h"
#include "io/text_lines.h"

namespace {

using Fields = std::vector<std::string_view>;

std::string at(const std::string& file, int line) { return file + " line " + std::to_string(line); }

enum class Number { kRead, kNotANumber, kOutOfRange };

// A finite decimal number taking the whole field. strtod also reads
// hexadecimal, "inf" and "nan", which no covariate file means; a value too
// small for a double is read as what it is, about 0, and one too large is a
// number all the same, which the user must be told to rescale, not to fix.
Number parseNumber(std::string_view field, double& value) {
  const std::string text(field);
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return Number::kNotANumber;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return Number::kNotANumber;
  if (errno == ERANGE && std::isinf(value)) return Number::kOutOfRange;
  return std::isfinite(value) ? Number::kRead : Number::kNotANumber;
}

// PLINK's missing value is the number -9, however it is written: a column
// saved as -9.000000 (R's write.table, a spreadsheet) marks the same missing
// samples, which must not enter the models as the value -9.
bool isMissing(std::string_view field) {
  double value = 0;
  return field == "NA" || (parseNumber(field, value) == Number::kRead && value == -9.0);
}

}  // namespace

std::vector<std::string> covariateNames(const std::string& value) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= value.size() && !value.empty()) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    names.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

bool readCovariateFile(const std::string& path, const std::vector<std::string>& wanted, CovariateFile& out,
                       std::string& error) {
  out = CovariateFile();
  std::string text;
  if (!slurpFile(path, text)) return error = "cannot open " + path + " (--covar)", false;
  if (error = notTextProblem(path, text, "--covar"); !error.empty()) return false;
  if (error = fieldLayoutProblem(path, text, "--covar"); !error.empty()) return false;
  std::vector<std::size_t> columns;  // field positions of the chosen names
  std::size_t width = 0;
  std::unordered_map<std::string, int> line_of;
  bool first = true;
  bool headerless = false;
  // plink2 writes "#IID name..." for samples without FID (from a VCF): such
  // lines are read with an empty FID before them, and fields are named as
  // the file counts them.
  bool iid_only = false;
  const auto field = [&](std::size_t f) { return std::to_string(f + 1 - (iid_only ? 1 : 0)); };
  // The columns' names from a header, or COV1, COV2 ... after FID IID where
  // the file has none (PLINK 1.07's format): false with `error` for a bad
  // header or a wanted name there is not.
  const auto chooseColumns = [&](int line, const std::vector<std::string>& names) {
    for (std::size_t f = 3; f < width; ++f) {
      for (std::size_t e = 2; e < f; ++e) {
        // A column named twice would enter the models twice (or be taken for
        // the other one by --covar-name), so the file is refused instead of
        // guessed at.
        if (names[e] == names[f]) {
          error = at(path, line) + ", field " + field(f) + ": covariate name '" + names[f] +
                  "' was already given in field " + field(e);
          return false;
        }
      }
    }
    if (wanted.empty()) {
      for (std::size_t f = 2; f < width; ++f) {
        columns.push_back(f);
        out.names.push_back(names[f]);
      }
      return true;
    }
    const auto columnOf = [&](std::string_view name) {
      std::size_t f = 2;
      while (f < width && names[f] != name) ++f;
      return name.empty() ? width : f;
    };
    const auto take = [&](std::size_t f) {
      if (std::find(columns.begin(), columns.end(), f) != columns.end()) {
        error = "--covar-name names the covariate '" + names[f] + "' twice";
        return false;
      }
      columns.push_back(f);
      out.names.push_back(names[f]);
      return true;
    };
    for (const std::string& name : wanted) {
      std::size_t first = columnOf(name);
      std::size_t last = first;
      // PLINK reads A-B as the columns from A to B (PC1-PC10), where no
      // column is named A-B itself.
      for (std::size_t dash = name.find('-'); first == width && dash != std::string::npos;
           dash = name.find('-', dash + 1)) {
        const std::size_t from = columnOf(std::string_view(name).substr(0, dash));
        const std::size_t to = columnOf(std::string_view(name).substr(dash + 1));
        if (from == width || to == width) continue;
        if (to < from) {
          error = at(path, line) + ": --covar-name " + name + " runs backwards: " + names[to] + " is field " +
                  field(to) + ", before " + names[from] + " in field " + field(from);
          return false;
        }
        first = from;
        last = to;
      }
      if (first == width) {
        error = at(path, line) + ": no covariate named '" + name + "' (--covar-name" +
                (headerless ? "; the file has no header line, so its columns are COV1 to COV" +
                                  std::to_string(width - 2) + ")"
                            : ")");
        return false;
      }
      for (std::size_t f = first; f <= last; ++f) {
        if (!take(f)) return false;
      }
    }
    return true;
  };
  Fields fields;
  const bool ok = forEachLine(text, [&](int line, const Fields& read) {
    if (first) iid_only = read[0] == "#IID";
    fields.assign(read.begin(), read.end());
    if (iid_only) fields.insert(fields.begin(), std::string_view());
    if (first) {
      first = false;
      width = fields.size();
      std::vector<std::string> names(fields.begin(), fields.end());
      // A header is told by its first field, as PLINK tells it; a file
      // without one starts with a sample.
      headerless = !iid_only && fields[0] != "FID" && !fields[0].starts_with('#');
      if (!headerless) {
        if (fields.size() < 3 || (!iid_only && fields[0] != "FID" && fields[0] != "#FID") ||
            (!iid_only && fields[1] != "IID")) {
          error = at(path, line) + ": the header must be FID IID (or plink2's #IID) and at least one covariate name";
          return false;
        }
        return chooseColumns(line, names);
      }
      if (fields.size() < 3) {
        error = at(path, line) + ": " + std::to_string(fields.size()) +
                " fields, but a covariate file's lines hold FID, IID and at least one covariate "
                "(a header line, if any, starts with FID IID)";
        return false;
      }
      for (std::size_t f = 2; f < width; ++f) names[f] = "COV" + std::to_string(f - 1);
      if (!chooseColumns(line, names)) return false;
    }
    if (fields.size() != width) {
      error = at(path, line) + ": " + std::to_string(read.size()) + " fields, but " +
              (headerless ? "the first line has " : "the header has ") + field(width - 1);
      return false;
    }
    const std::string key = std::string(fields[0]) + '\t' + std::string(fields[1]);
    const auto [seen, is_new] = line_of.emplace(key, line);
    if (!is_new) {
      error = at(path, line) + ", field " + field(1) + ": sample " + std::string(fields[1]) + " was already named on line " +
              std::to_string(seen->second);
      return false;
    }
    CovariateLine sample{std::string(fields[0]), std::string(fields[1]), line, false};
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const std::size_t f = columns[c];
      double value = NAN;
      if (isMissing(fields[f])) {
        sample.missing = true;
      } else if (const Number read = parseNumber(fields[f], value); read == Number::kOutOfRange) {
        error = at(path, line) + ", field " + field(f) + ": covariate " + out.names[c] + " is '" +
                std::string(fields[f]) + "', a number out of range (beyond +-1.8e308, the largest a double holds): "
                "give the column in other units";
        return false;
      } else if (read == Number::kNotANumber) {
        error = at(path, line) + ", field " + field(f) + ": covariate " + out.names[c] +
                " is '" + std::string(fields[f]) + "', not a number (-9 or NA when missing)" +
                (headerless && line == 1 ? "; the file has no header line, which starts with FID IID or #FID IID"
                                         : "");
        return false;
      }
      out.values.push_back(value);
    }
    out.lines.push_back(std::move(sample));
    return true;
  });
  if (!ok) return false;
  out.iid_only = iid_only;
  if (first) return error = path + ": empty, but a covariate file holds a line FID IID value... per sample", false;
  return true;
}

std::string separatingCovariatesWarning(const std::vector<double>& values, int count,
                                        const std::vector<std::string>& names,
                                        const std::vector<unsigned char>& is_case, const std::string& advice) {
  std::string lines;
  for (int c = 0; c < count; ++c) {
    double low[2] = {HUGE_VAL, HUGE_VAL};
    double high[2] = {-HUGE_VAL, -HUGE_VAL};
    for (std::size_t k = 0; k < is_case.size(); ++k) {
      const double value = values[k * static_cast<std::size_t>(count) + static_cast<std::size_t>(c)];
      const int side = is_case[k] != 0 ? 1 : 0;
      low[side] = std::min(low[side], value);
      high[side] = std::max(high[side], value);
    }
    if (std::min(low[0], low[1]) == std::max(high[0], high[1])) continue;  // one value: left out anyway
    const bool cases_above = high[0] <= low[1];
    if (!cases_above && !(high[1] <= low[0])) continue;
    // No control lies above the bound and no case below it, or the reverse.
    char bound[64];
    std::snprintf(bound, sizeof bound, "%.6g", cases_above ? low[1] : low[0]);
    const std::string name = c < static_cast<int>(names.size()) ? names[c] : "number " + std::to_string(c + 1);
    lines += warningLine("covariate " + name + " separates the classes over the run's samples: no " +
                         (cases_above ? "control" : "case") + " lies above " + bound + " and no " +
                         (cases_above ? "case" : "control") +
                         " below it, so no model holding it has a finite fit (its rows' p_adjusted and "
                         "p_interaction_adjusted are NA); " + advice);
  }
  return lines;
}
