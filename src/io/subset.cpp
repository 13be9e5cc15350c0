// subset.cpp: the phenotype, keep/remove and extract/exclude files, read
// whole, matched against the input's sample ids and marker names.
#include "io/subset.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "io/case_status.h"
#include "io/covariate_file.h"
#include "io/messages.h"
#include "io/sample_index.h"
#include "io/strata_file.h"
#include "io/text_lines.h"

namespace {

using Fields = std::vector<std::string_view>;

std::string at(const std::string& file, int line) { return file + " line " + std::to_string(line); }

std::string fieldsText(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " field" : " fields");
}

// Counts the names of a file that the input does not hold, for one warning.
struct UnknownNames {
  int count = 0;
  std::string first;
  void add(const std::string& file, int line, std::string_view name) {
    if (count++ == 0) first = at(file, line) + ": " + std::string(name);
  }
  std::string warning(const std::string& file, const std::string& input, const char* what) const {
    if (count == 0) return "";
    return warningLine(std::to_string(count) + " " + what + " of " + file + " are not in " + input +
                       " and were ignored (first: " + first + ")");
  }
};

bool readPhenotypes(const std::string& file, const SubsetInput& input, const SampleIndex& index,
                    std::vector<int>& status, Subset& out) {
  std::string text;
  if (!slurpFile(file, text)) return out.error = "cannot open " + file + " (--pheno)", false;
  if (out.error = notTextProblem(file, text, "--pheno"); !out.error.empty()) return false;
  if (out.error = fieldLayoutProblem(file, text, "--pheno"); !out.error.empty()) return false;
  std::unordered_map<std::string, int> line_of;
  UnknownNames unknown;
  int matched = 0;
  int cases = 0;
  int zeros = 0;
  bool first_line = true;
  // plink2 writes "#IID value..." for samples without FID (from a VCF): its
  // lines are read with an empty FID before them, fields named as written.
  bool iid_only = false;
  const auto field = [&](int f) { return std::to_string(f + 1 - (iid_only ? 1 : 0)); };
  Fields fields;
  const bool ok = forEachLine(text, [&](int line, const Fields& read) {
    if (first_line && read[0] == "#IID") {
      if (input.match_family) {
        out.error = at(file, line) + ": the file names its samples by IID alone (#IID), but " + input.name +
                    "'s samples are matched by FID and IID: give it FID IID columns";
        return false;
      }
      iid_only = true;
    }
    // A .fam's third field is the father, whose ID 1 or 2 would read as a
    // control or a case; its phenotypes stand in its sixth.
    if (first_line && file.ends_with(".fam") && read.size() == 6) {
      out.error = at(file, line) + ": a PLINK .fam, whose field 3 is the father, not a phenotype: give a file of "
                  "FID IID value lines (awk '{print $1, $2, $6}' " + file + ")";
      return false;
    }
    fields.assign(read.begin(), read.end());
    if (iid_only) fields.insert(fields.begin(), std::string_view());
    const bool header = first_line && (iid_only || fields[0] == "FID" || fields[0] == "#FID");
    first_line = false;
    // A .psam's or a .fam-like header: the phenotype's field holds the sex or
    // a parent, whose 1 and 2 would read as controls and cases.
    if (header && fields.size() >= 3 && (fields[2] == "SEX" || fields[2] == "PAT" || fields[2] == "MAT")) {
      out.error = at(file, line) + ", field " + field(2) + ": the phenotype is read from field " + field(2) +
                  ", which the header names " + std::string(fields[2]) + ": give a file of " +
                  (iid_only ? "IID value" : "FID IID value") + " lines";
      return false;
    }
    // plink2 writes several phenotypes to a file; PLINK 1.9 reads the first.
    if (header) {
      if (const std::string several = severalColumnsWarning(at(file, line), fields, iid_only, "phenotypes", "value");
          !several.empty())
        out.warnings += warningLine(several);
    }
    if (header) return true;
    if (fields.size() < 3) {
      out.error = at(file, line) + ": " + fieldsText(read.size()) + ", but a phenotype line has " +
                  (iid_only ? "2 (IID value)" : "3 (FID IID value)");
      return false;
    }
    const int value = caseStatus(fields[2]);
    if (value < kNoStatus) {
      out.error = at(file, line) + ", field " + field(2) + ": phenotype " + std::string(fields[2]) +
                  " is not 2 (case), 1 (control) or 0, -9, NA (missing)";
      return false;
    }
    const std::string sample_key = index.key(fields[0], fields[1]);
    const auto [seen, is_new] = line_of.emplace(sample_key, line);
    if (!is_new) {
      out.error = at(file, line) + ", field " + field(1) + ": sample " + std::string(fields[1]) +
                  " was already named on line " + std::to_string(seen->second);
      return false;
    }
    const std::vector<int>* positions = index.find(sample_key);
    if (positions == nullptr) {
      unknown.add(file, line, sampleShown(input, fields[0], fields[1]));
      return true;
    }
    ++matched;
    cases += value == 1;
    zeros += isZeroStatus(fields[2]);
    for (const int s : *positions) status[s] = value;
    return true;
  });
  if (!ok) return false;
  if (matched == 0) {
    out.error = noSampleMatched(file, line_of.size(), input, sampleMatchingRule(input));
    return false;
  }
  out.warnings += unknown.warning(file, input.name, "samples");
  // 0 = control, 1 = case is the other common coding; PLINK reads 0 as missing.
  if (cases == 0 && zeros > 0) {
    out.warnings += zeroCodingWarning(file, zeros);
  }
  return true;
}

// The input's samples that a --keep or --remove file names.
bool readSampleList(const std::string& file, const char* option, const SubsetInput& input,
                    const SampleIndex& index, std::vector<bool>& named, Subset& out) {
  std::string text;
  if (!slurpFile(file, text)) return out.error = "cannot open " + file + " (" + option + ")", false;
  if (out.error = notTextProblem(file, text, option); !out.error.empty()) return false;
  if (out.error = fieldLayoutProblem(file, text, option); !out.error.empty()) return false;
  UnknownNames unknown;
  int lines = 0;
  bool first_line = true;
  const bool ok = forEachLine(text, [&](int line, const Fields& fields) {
    // plink2's .id files start with "#FID IID" (or "#IID"); PLINK 1 lists
    // may start with "FID IID".
    const bool header = first_line && (fields[0] == "#FID" || fields[0] == "#IID" ||
                                       (fields[0] == "FID" && fields.size() >= 2 && fields[1] == "IID"));
    first_line = false;
    if (header) return true;
    const std::string sample_key = index.keyOf(fields);
    if (sample_key.empty()) {
      out.error = at(file, line) + ": " + fieldsText(fields.size()) + ", but a line of this file has 2 (" +
                  index.layout() + ")";
      return false;
    }
    ++lines;
    const std::vector<int>* positions = index.find(sample_key);
    if (positions == nullptr) {
      // As the line names it: the key of FID and IID holds a tab.
      unknown.add(file, line, fields.size() >= 2 ? sampleShown(input, fields[0], fields[1]) : sample_key);
      return true;
    }
    for (const int s : *positions) named[s] = true;
    return true;
  });
  if (!ok) return false;
  if (std::string_view(option) == "--keep" && unknown.count == lines) {
    const std::string rule = input.match_family ? "samples are matched by IID" : sampleMatchingRule(input);
    const std::string layout = std::string("lines are ") + index.layout();
    out.error = noSampleMatched(file, static_cast<std::size_t>(lines), input,
                                rule == "samples are matched by IID" ? layout : layout + "; " + rule);
    return false;
  }
  // An empty --remove is most often a list its writer's filter left empty,
  // which removes nothing; a list that was never written whole reads the
  // same, so the user is told, not refused.
  if (lines == 0) {
    out.warnings += warningLine(file + " (" + option + ") names no sample (it is empty or holds its header alone), "
                                "so no sample is removed");
  }
  out.warnings += unknown.warning(file, input.name, "samples");
  return true;
}

// The input's markers that an --extract or --exclude file names.
bool readMarkerList(const std::string& file, const char* option, const SubsetInput& input,
                    std::vector<bool>& named, Subset& out) {
  std::string text;
  if (!slurpFile(file, text)) return out.error = "cannot open " + file + " (" + option + ")", false;
  if (out.error = notTextProblem(file, text, option); !out.error.empty()) return false;
  if (out.error = fieldLayoutProblem(file, text, option); !out.error.empty()) return false;
  std::unordered_map<std::string_view, std::vector<int>> positions;
  for (std::size_t m = 0; m < input.markers.size(); ++m) positions[input.markers[m]].push_back(static_cast<int>(m));
  UnknownNames unknown;
  // A list written across a line ("rs1 rs2 rs3") would otherwise lose all but
  // its first name without a word.
  int wide_lines = 0;
  std::string first_wide;
  int lines = 0;
  forEachLine(text, [&](int line, const Fields& fields) {
    ++lines;
    if (fields.size() > 1 && wide_lines++ == 0)
      first_wide = at(file, line) + ", field 2: " + std::string(fields[1]);
    const auto found = positions.find(fields[0]);
    if (found == positions.end()) {
      unknown.add(file, line, fields[0]);
    } else {
      for (const int m : found->second) named[m] = true;
    }
    return true;
  });
  // An empty --extract leaves too few markers and is refused by the caller;
  // an empty --exclude excludes nothing, which its user should hear.
  if (lines == 0 && std::string_view(option) == "--exclude") {
    out.warnings += warningLine(file + " (--exclude) names no marker (it is empty), so no marker is excluded");
  }
  out.warnings += unknown.warning(file, input.markerSource(), "markers");
  if (wide_lines > 0) {
    out.warnings += warningLine(std::to_string(wide_lines) + (wide_lines == 1 ? " line of " : " lines of ") + file +
                                " (" + option + (wide_lines == 1 ? ") holds" : ") hold") +
                                " more than one field: only the first field of a line is a marker name, the "
                                "others were ignored (first: " + first_wide + "); write one name per line");
  }
  return true;
}

// Leaves out the kept samples that the covariate file does not give every
// chosen value, and gives the others theirs.
bool matchCovariates(const std::string& file, const std::vector<std::string>& names, const SubsetInput& input,
                     const SampleIndex& index, std::vector<bool>& kept, std::vector<const double*>& values,
                     CovariateFile& covariates, Subset& out) {
  std::string error;
  if (!readCovariateFile(file, names, covariates, error)) return out.error = error, false;
  if (covariates.iid_only && input.match_family) {
    out.error = file + " names its samples by IID alone (#IID), but " + input.name +
                "'s samples are matched by FID and IID: give the file FID IID columns (#FID IID name...)";
    return false;
  }
  const std::size_t width = covariates.names.size();
  values.assign(input.samples.size(), nullptr);
  UnknownNames unknown;
  int matched = 0;
  // The file itself refuses a repeated FID and IID; an input matched by the
  // IID alone also takes two families' lines of one IID for one sample, whose
  // covariates the later line would silently replace.
  std::unordered_map<std::string, int> line_of;
  for (std::size_t l = 0; l < covariates.lines.size(); ++l) {
    const CovariateLine& line = covariates.lines[l];
    const std::string sample_key = index.key(line.fid, line.iid);
    const auto [seen, is_new] = line_of.emplace(sample_key, line.line);
    if (!is_new) {
      out.error = at(file, line.line) + (covariates.iid_only ? ", field 1: sample " : ", field 2: sample ") +
                  line.iid + " was already named on line " + std::to_string(seen->second) +
                  " (samples are matched by IID)";
      return false;
    }
    const std::vector<int>* positions = index.find(sample_key);
    if (positions == nullptr) {
      unknown.add(file, line.line, sampleShown(input, line.fid, line.iid));
      continue;
    }
    ++matched;
    if (line.missing) continue;
    for (const int s : *positions) values[s] = &covariates.values[l * width];
  }
  if (matched == 0) {
    out.error = noSampleMatched(file, covariates.lines.size(), input, sampleMatchingRule(input));
    return false;
  }
  out.warnings += unknown.warning(file, input.name, "samples");
  int left_out = 0;
  for (std::size_t s = 0; s < kept.size(); ++s) {
    if (!kept[s] || values[s] != nullptr) continue;
    kept[s] = false;
    ++left_out;
  }
  if (left_out > 0) {
    out.warnings += warningLine(std::to_string(left_out) + " samples of " + input.name + " have no value (or -9, NA) for a covariate in " + file + " and were left out");
  }
  out.covariate_names = covariates.names;
  return true;
}

}  // namespace

bool chooseSubset(const SubsetFiles& files, const SubsetInput& input, int lowest_order, Subset& out) {
  out = Subset();
  const std::size_t sample_count = input.samples.size();
  const SampleIndex index(input);
  const bool own_phenotypes = files.pheno.empty() && input.status.empty();
  std::vector<int> status = files.pheno.empty() ? input.status : std::vector<int>(sample_count, kNoStatus);
  if (!files.pheno.empty() && !readPhenotypes(files.pheno, input, index, status, out)) return false;

  std::vector<bool> kept(sample_count, true);
  std::vector<bool> named(sample_count, false);
  if (!files.keep.empty()) {
    if (!readSampleList(files.keep, "--keep", input, index, named, out)) return false;
    kept = named;
  }
  if (!files.remove.empty()) {
    named.assign(sample_count, false);
    if (!readSampleList(files.remove, "--remove", input, index, named, out)) return false;
    for (std::size_t s = 0; s < sample_count; ++s) kept[s] = kept[s] && !named[s];
  }
  CovariateFile covariates;
  std::vector<const double*> covariate_values;
  if (!files.covar.empty() &&
      !matchCovariates(files.covar, files.covar_names, input, index, kept, covariate_values, covariates, out))
    return false;
  StrataFile strata;
  if (!files.strata.empty() && !readStrataFile(files.strata, input, strata, out.warnings, out.error)) return false;
  int without_phenotype = 0;
  int without_stratum = 0;
  std::vector<int> renumbered(strata.names.size(), -1);
  for (std::size_t s = 0; s < sample_count; ++s) {
    if (!kept[s]) continue;
    if (!own_phenotypes && status[s] == kNoStatus) {
      ++without_phenotype;
      continue;
    }
    if (!files.strata.empty()) {
      const int stratum = strata.of_sample[s];
      if (stratum < 0) {
        ++without_stratum;
        continue;
      }
      if (renumbered[stratum] < 0) {
        renumbered[stratum] = static_cast<int>(out.stratum_names.size());
        out.stratum_names.push_back(strata.names[stratum]);
      }
      out.strata.push_back(renumbered[stratum]);
    }
    out.samples.push_back(static_cast<int>(s));
    if (!covariate_values.empty()) {
      out.covariates.insert(out.covariates.end(), covariate_values[s],
                            covariate_values[s] + covariates.names.size());
    }
    if (!own_phenotypes) out.phenotypes.push_back(static_cast<unsigned char>(status[s]));
  }
  if (without_stratum > 0) {
    out.warnings += warningLine(std::to_string(without_stratum) + " samples of " + input.name +
                                " have no stratum in " + files.strata + " and were left out");
  }
  // A cluster file of a whole cohort names strata that --keep or --remove
  // may empty: they are not part of the run, as PLINK leaves them.
  int emptied = 0;
  std::size_t first_emptied = 0;
  for (std::size_t stratum = 0; stratum < renumbered.size(); ++stratum) {
    if (renumbered[stratum] < 0 && emptied++ == 0) first_emptied = stratum;
  }
  if (emptied > 0) {
    out.warnings += warningLine(std::to_string(emptied) + (emptied == 1 ? " stratum of " : " strata of ") +
                                files.strata + (emptied == 1 ? " has" : " have") +
                                " no sample left by the other sample options and " +
                                (emptied == 1 ? "is" : "are") + " not part of the run (first: line " +
                                std::to_string(strata.first_line[first_emptied]) + ", stratum " +
                                strata.names[first_emptied] + ")");
  }
  if (!files.pheno.empty() && without_phenotype > 0) {
    out.warnings += warningLine(std::to_string(without_phenotype) + " samples of " + input.name +
                                " have no case (2) or control (1) phenotype in " + files.pheno + " and were left out");
  }
  if (out.samples.empty()) {
    out.error = input.name + ": no sample with a case or control phenotype is left by the sample options";
    return false;
  }

  const std::size_t marker_count = input.markers.size();
  std::vector<bool> chosen(marker_count, files.extract.empty());
  if (!files.extract.empty() && !readMarkerList(files.extract, "--extract", input, chosen, out)) return false;
  if (!files.exclude.empty()) {
    std::vector<bool> excluded(marker_count, false);
    if (!readMarkerList(files.exclude, "--exclude", input, excluded, out)) return false;
    for (std::size_t m = 0; m < marker_count; ++m) chosen[m] = chosen[m] && !excluded[m];
  }
  for (std::size_t m = 0; m < marker_count; ++m) {
    if (chosen[m] && (input.left_out.empty() || !input.left_out[m])) out.markers.push_back(static_cast<int>(m));
  }
  if (out.markers.size() < static_cast<std::size_t>(lowest_order)) {
    // With both lists, either may have taken the markers away: name both.
    const std::string file = files.extract.empty()   ? files.exclude
                             : files.exclude.empty() ? files.extract
                                                     : files.extract + " (--extract) with " + files.exclude +
                                                           " (--exclude)";
    if (file.empty()) {  // no marker file: the input itself holds too few
      const std::size_t taking_part = marker_count - std::count(input.left_out.begin(), input.left_out.end(), true);
      out.error = input.markerSource() + ": " + std::to_string(taking_part) + " markers, fewer than the lowest order " +
                  std::to_string(lowest_order) + " (lower --order)";
      return false;
    }
    out.error = file + ": " + std::to_string(out.markers.size()) + " of the " + std::to_string(marker_count) +
                " markers of " + input.markerSource() + " are left, fewer than the lowest order " +
                std::to_string(lowest_order) + " (name more markers, or lower --order)";
    return false;
  }
  return true;
}

void compactGenotypes(unsigned char* genotypes, long stored_samples, const Subset& subset) {
  // Every byte moves to a position no later than its own, and the moves go
  // in increasing order, so no byte is overwritten before it is read.
  const long kept_samples = static_cast<long>(subset.samples.size());
  unsigned char* target = genotypes;
  for (const int m : subset.markers) {
    const unsigned char* row = genotypes + m * stored_samples;
    for (long k = 0; k < kept_samples; ++k) *target++ = row[subset.samples[k]];
  }
}
