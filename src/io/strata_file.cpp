#include "io/strata_file.h"

#include <string_view>
#include <unordered_map>

#include "io/messages.h"
#include "io/sample_index.h"
#include "io/text_lines.h"

bool readStrataFile(const std::string& file, const SubsetInput& input, StrataFile& out, std::string& warnings,
                    std::string& error) {
  out = StrataFile();
  out.of_sample.assign(input.samples.size(), -1);
  std::string text;
  if (!slurpFile(file, text)) return error = "cannot open " + file + " (--strata)", false;
  if (error = notTextProblem(file, text, "--strata"); !error.empty()) return false;
  if (error = fieldLayoutProblem(file, text, "--strata"); !error.empty()) return false;
  const SampleIndex index(input);
  std::unordered_map<std::string, int> line_of;
  std::unordered_map<std::string, int> stratum_of_name;
  int unknown = 0;
  std::string first_unknown;
  int missing = 0;
  int first_missing = 0;
  bool first_line = true;
  // plink2 writes "#IID name..." for samples without FID (from a VCF): its
  // lines are read with an empty FID before them, fields named as written.
  bool iid_only = false;
  std::vector<std::string_view> fields;
  const bool ok = forEachLine(text, [&](int line, const std::vector<std::string_view>& read) {
    if (first_line && read[0] == "#IID") {
      if (input.match_family) {
        error = file + " line " + std::to_string(line) + ": the file names its samples by IID alone (#IID), but " +
                input.name + "'s samples are matched by FID and IID: give it FID IID columns";
        return false;
      }
      iid_only = true;
    }
    fields.assign(read.begin(), read.end());
    if (iid_only) fields.insert(fields.begin(), std::string_view());
    const bool header = first_line && (iid_only || fields[0] == "FID" || fields[0] == "#FID");
    first_line = false;
    // A table of sample attributes (batch, population) gives its first.
    if (header) {
      if (const std::string several =
              severalColumnsWarning(file + " line " + std::to_string(line), fields, iid_only, "columns", "STRATUM");
          !several.empty())
        warnings += warningLine(several);
      return true;
    }
    const std::string at = file + " line " + std::to_string(line);
    if (fields.size() < 3) {
      error = at + ": " + std::to_string(read.size()) + (read.size() == 1 ? " field" : " fields") +
              (iid_only ? ", but a strata line has 2 (IID STRATUM)" : ", but a strata line has 3 (FID IID STRATUM)");
      return false;
    }
    const std::string sample_key = index.key(fields[0], fields[1]);
    const auto [seen, is_new] = line_of.emplace(sample_key, line);
    if (!is_new) {
      error = at + (iid_only ? ", field 1: sample " : ", field 2: sample ") + std::string(fields[1]) +
              " was already named on line " +
              std::to_string(seen->second);
      return false;
    }
    const std::vector<int>* positions = index.find(sample_key);
    if (positions == nullptr) {
      if (unknown++ == 0) first_unknown = at + ": " + sampleShown(input, fields[0], fields[1]);
      return true;
    }
    // PLINK's cluster files mark a sample of no cluster by NA.
    if (fields[2] == "NA") {
      if (missing++ == 0) first_missing = line;
      return true;
    }
    const auto [named, new_stratum] =
        stratum_of_name.emplace(std::string(fields[2]), static_cast<int>(out.names.size()));
    if (new_stratum) {
      out.names.emplace_back(fields[2]);
      out.first_line.push_back(line);
    }
    for (const int s : *positions) out.of_sample[s] = named->second;
    return true;
  });
  if (!ok) return false;
  if (out.names.empty() && missing > 0) {
    error = file + ": every sample of " + input.name + " that it names has the stratum NA, which marks a sample "
            "of no stratum";
    return false;
  }
  if (missing > 0) {
    warnings += warningLine(std::to_string(missing) + " samples of " + file + " have the stratum NA (first: line " +
                            std::to_string(first_missing) + "), which marks a sample of no stratum, as in PLINK");
  }
  if (out.names.empty()) {
    error = noSampleMatched(file, line_of.size(), input, sampleMatchingRule(input));
    return false;
  }
  if (unknown > 0) {
    warnings += warningLine(std::to_string(unknown) + " samples of " + file + " are not in " + input.name +
                            " and were ignored (first: " + first_unknown + ")");
  }
  return true;
}
