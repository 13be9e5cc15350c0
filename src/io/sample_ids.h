// sample_ids.h: how an input describes its samples and markers to the files
// that choose among them (subsets, phenotypes, strata).
#ifndef GORVA_IO_SAMPLE_IDS_H
#define GORVA_IO_SAMPLE_IDS_H

#include <string>
#include <string_view>
#include <vector>

struct SampleId {
  std::string fid;
  std::string iid;
};

// Sample case status: 1 case, 0 control, kNoStatus missing (left out).
constexpr int kNoStatus = -1;

struct SubsetInput {
  std::string name;               // the input as messages name it
  std::vector<SampleId> samples;  // every sample of the input, in order
  // Per sample its own case status; empty when the input carries its
  // phenotypes itself (a text file) or has none (VCF: --pheno is required).
  std::vector<int> status;
  std::vector<std::string> markers;  // every marker name, in order
  // PLINK matches a sample by FID and IID; text and VCF by the IID alone.
  bool match_family = false;
  // The file that names the markers, when not `name` (a PLINK .bim).
  std::string marker_file;
  // Per marker: true where the input itself leaves it out (a .bim's
  // negative position); empty when it leaves out none.
  std::vector<bool> left_out;
  // A text file: its samples' IIDs are their data line numbers, 1, 2, ...
  bool numbered = false;
  const std::string& markerSource() const { return marker_file.empty() ? name : marker_file; }
};

// A sample as a file's line names it in a message: FID and IID apart by a
// blank where the input matches both (the IID alone would name another
// sample there, which the input may well hold), else the IID.
inline std::string sampleShown(const SubsetInput& input, std::string_view fid, std::string_view iid) {
  return input.match_family ? std::string(fid) + " " + std::string(iid) : std::string(iid);
}

// How a file's lines must name the input's samples, for a refusal of a file
// that names none of them: "samples are matched by IID", and for a text
// file that its IIDs are its data line numbers, which no file of the
// cohort's IDs holds, for a VCF of FID_IID names that an IID is all of one.
inline std::string sampleMatchingRule(const SubsetInput& input) {
  if (input.match_family) return "samples are matched by FID and IID";
  if (!input.numbered) {
    // plink --recode vcf names each sample FID_IID, which a file of the
    // cohort's FID and IID columns never names.
    for (const SampleId& sample : input.samples) {
      if (sample.iid.find('_') == std::string::npos) continue;
      return "samples are matched by IID; " + input.name + "'s sample names hold '_' (first: " + sample.iid +
             "), as plink --recode vcf writes FID_IID: name such a sample by all of it, " + sample.iid +
             ", as its IID";
    }
    return "samples are matched by IID";
  }
  return "samples are matched by IID; a text file's samples are named by their data line numbers, 1 to " +
         std::to_string(input.samples.size());
}

// The refusal of a sample file that names none of the input's samples,
// `rule` saying how its lines must name them. A file of no sample line at
// all (empty, or its header alone) says that instead: the matching rule
// would send its user looking for a typo in names it does not hold.
inline std::string noSampleMatched(const std::string& file, std::size_t lines, const SubsetInput& input,
                                   const std::string& rule) {
  if (lines == 0) return file + ": the file names no sample (it is empty or holds its header alone)";
  return file + ": none of its " + std::to_string(lines) + " samples is in " + input.name + " (" + rule + ")";
}

// The warning for a header (its `fields`, an empty FID first where the file
// names samples by IID alone) that names more value columns than the one
// read, the third field: a file of several phenotypes or of several sample
// attributes gives its first, as PLINK reads it, but the header names the
// others, which a user may have meant. `what` names the columns
// ("phenotypes"), `value` the one of a line ("value"); "" where there is
// nothing to say.
inline std::string severalColumnsWarning(const std::string& place, const std::vector<std::string_view>& fields,
                                         bool iid_only, const std::string& what, const std::string& value) {
  if (fields.size() <= 3) return "";
  std::string names;
  for (std::size_t f = 2; f < fields.size(); ++f) names += (f > 2 ? ", " : "") + std::string(fields[f]);
  return place + ": the header names " + std::to_string(fields.size() - 2) + " " + what + " (" + names +
         "); the first, " + std::string(fields[2]) + " (field " + std::to_string(iid_only ? 2 : 3) +
         "), is read, as PLINK reads it: give a file of " + (iid_only ? "IID " : "FID IID ") + value +
         " lines holding the one meant";
}

#endif  // GORVA_IO_SAMPLE_IDS_H
