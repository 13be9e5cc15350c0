#include "io/vcf_line_check.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "io/messages.h"

namespace {

constexpr int kInfoField = 8;
constexpr int kFormatField = 9;
// Names quoted from the file are cut here: a damaged file's "name" can be a
// whole line.
constexpr std::size_t kLongestName = 80;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string fieldText(int field) { return ", field " + std::to_string(field); }

// The first key of an INFO or FORMAT field that the header does not declare.
std::string undeclaredKey(std::string_view field, char separator, const bcf_hdr_t* header, int kind) {
  if (field == "." || field.empty()) return "";
  for (std::string_view entry : split(field, separator)) {
    const std::string key(entry.substr(0, entry.find('=')));
    const int id = bcf_hdr_id2int(header, BCF_DT_ID, key.c_str());
    if (!bcf_hdr_idinfo_exists(header, kind, id)) return key;
  }
  return "";
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A GT as htslib reads it: alleles (numbers or '.') joined by '/' or '|',
// optionally led by a phasing mark.
bool isGenotype(std::string_view gt) {
  if (!gt.empty() && (gt[0] == '/' || gt[0] == '|')) gt.remove_prefix(1);
  for (std::string_view allele : split(gt, '|')) {
    for (std::string_view part : split(allele, '/')) {
      if (part != "." && (part.empty() || !std::all_of(part.begin(), part.end(), isDigit))) return false;
    }
  }
  return true;
}

// A value of a declared Integer or Float: '.' for missing, else the number.
bool isNumberValue(std::string_view value, bool integer) {
  if (value == ".") return true;
  const std::string text(value);
  if (text.empty()) return false;
  char* end = nullptr;
  if (integer) {
    static_cast<void>(std::strtoll(text.c_str(), &end, 10));
    return end == text.c_str() + text.size() && isDigit(text.back());
  }
  static_cast<void>(std::strtod(text.c_str(), &end));
  return end == text.c_str() + text.size();
}

// The first sample field (and its FORMAT key) whose values htslib cannot
// read by the header's declaration: a GT that is no genotype, a number that
// is not one, more values than FORMAT has keys. htslib says only "a character it does not take", with no field.
std::string sampleFieldProblem(const std::vector<std::string_view>& fields, const bcf_hdr_t* header) {
  if (fields.size() <= kFormatField) return "";
  const std::vector<std::string_view> keys = split(fields[kFormatField - 1], ':');
  const std::size_t samples = static_cast<std::size_t>(bcf_hdr_nsamples(header));
  for (std::size_t f = kFormatField; f < fields.size() && f - kFormatField < samples; ++f) {
    const std::string where = fieldText(static_cast<int>(f) + 1) + " (sample " +
                              shownText(header->samples[f - kFormatField], kLongestName) + ")";
    const std::vector<std::string_view> values = split(fields[f], ':');
    if (values.size() > keys.size()) {
      return where + ": " + std::to_string(values.size()) + " values separated by ':', but FORMAT (field 9) has " +
             std::to_string(keys.size()) + " keys";
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
      const std::string key(keys[k]);
      const std::string shown = "'" + shownText(values[k], kLongestName) + "'";
      if (key == "GT") {
        // VCF 4.4 lets a GT open with its first allele's phasing ("|0|1");
        // htslib before 1.17 takes no such mark.
        if (!values[k].empty() && (values[k][0] == '/' || values[k][0] == '|') && isGenotype(values[k])) {
          return where + ": the genotype " + shown + " opens with a phasing mark (VCF 4.4), which htslib " +
                 hts_version() + " cannot read: write it without the mark ('" +
                 shownText(values[k].substr(1), kLongestName) + "')";
        }
        if (!isGenotype(values[k])) {
          return where + ": the genotype " + shown + " is not alleles (0, 1, ... or . when missing) joined by / or |";
        }
        continue;
      }
      const int id = bcf_hdr_id2int(header, BCF_DT_ID, key.c_str());
      if (!bcf_hdr_idinfo_exists(header, BCF_HL_FMT, id)) continue;
      const int type = bcf_hdr_id2type(header, BCF_HL_FMT, id);
      if (type != BCF_HT_INT && type != BCF_HT_REAL) continue;
      for (std::string_view value : split(values[k], ',')) {
        if (!isNumberValue(value, type == BCF_HT_INT)) {
          return where + ": FORMAT " + key + " is " + shown + ", but the header declares it " +
                 (type == BCF_HT_INT ? "an Integer" : "a Float") + " ('.' when missing)";
        }
      }
    }
  }
  return "";
}

}  // namespace

std::string vcfLineProblem(std::string_view line, const bcf_hdr_t* header) {
  const std::size_t nul = line.find('\0');
  if (nul != std::string_view::npos) {
    const int field = 1 + static_cast<int>(std::count(line.begin(), line.begin() + static_cast<long>(nul), '\t'));
    return fieldText(field) + ": a NUL byte, which no text file holds (is the file damaged, binary or UTF-16?)";
  }
  const std::vector<std::string_view> fields = split(line, '\t');
  // htslib reads POS with strtoll and takes what it got: "abc" as 0, "12abc"
  // as 12, so a damaged position would be printed as if it were the file's.
  if (fields.size() > 1 &&
      (fields[1].empty() || !std::all_of(fields[1].begin(), fields[1].end(), [](char c) { return c >= '0' && c <= '9'; }))) {
    const bool negative = fields[1].size() > 1 && fields[1][0] == '-' &&
                          std::all_of(fields[1].begin() + 1, fields[1].end(), [](char c) { return c >= '0' && c <= '9'; });
    return fieldText(2) + ": the position '" + shownText(fields[1], kLongestName) +
           (negative ? "' is negative (a VCF position is 0 or more)" : "' is not a whole number");
  }
  const std::size_t samples = static_cast<std::size_t>(bcf_hdr_nsamples(header));
  for (std::size_t f = kFormatField; f < fields.size() && f - kFormatField < samples; ++f) {
    if (!fields[f].empty()) continue;
    return fieldText(static_cast<int>(f) + 1) + " (sample " + shownText(header->samples[f - kFormatField], kLongestName) +
           "): the sample field is empty, so the record's sample fields end early (write ./. for a missing "
           "genotype)";
  }
  return "";
}

std::string vcfParseProblem(std::string_view line, const bcf_hdr_t* header, int errcode,
                            const DroppedHeaderLine& dropped_line) {
  const std::vector<std::string_view> fields = split(line, '\t');
  // htslib leaves out a header line it cannot read, without a word: the
  // name it declared then reads as never declared, which the file belies.
  const auto undeclared = [&](int field, const std::string& what, const std::string& kind, const std::string& name,
                              const std::string& advice) {
    const std::string dropped = dropped_line ? dropped_line(kind, name) : "";
    if (!dropped.empty()) {
      return fieldText(field) + ": " + what + " " + name + " is declared on header " + dropped +
             ", but htslib cannot read that line and leaves it out: correct it (for example ##" + kind + "=<ID=" +
             name + (kind == "contig" ? ">" : ",Number=1,Type=String,Description=\"...\">") + ")";
    }
    return fieldText(field) + ": " + what + " " + name + " is not declared in the header (" + advice + ")";
  };
  if ((errcode & (BCF_ERR_CTG_UNDEF | BCF_ERR_CTG_INVALID)) != 0 ||
      (!fields.empty() && bcf_hdr_name2id(header, std::string(fields[0]).c_str()) < 0)) {
    const std::string contig = shownText(fields[0], kLongestName);
    return undeclared(1, "contig", "contig", contig, "add ##contig=<ID=" + contig + ">");
  }
  if (fields.size() > kInfoField - 1) {
    const std::string key = shownText(undeclaredKey(fields[kInfoField - 1], ';', header, BCF_HL_INFO), kLongestName);
    if (!key.empty()) {
      return undeclared(kInfoField, "INFO tag", "INFO", key,
                        "add ##INFO=<ID=" + key + ",...>, or bcftools annotate -x INFO/" + key);
    }
  }
  if (fields.size() > kFormatField - 1) {
    const std::string key = shownText(undeclaredKey(fields[kFormatField - 1], ':', header, BCF_HL_FMT), kLongestName);
    if (!key.empty()) {
      return undeclared(kFormatField, "FORMAT tag", "FORMAT", key,
                        "add ##FORMAT=<ID=" + key + ",...>, or bcftools annotate -x FORMAT/" + key);
    }
  }
  if (const std::string problem = sampleFieldProblem(fields, header); !problem.empty()) return problem;
  if ((errcode & BCF_ERR_LIMITS) != 0) {
    std::size_t longest = 0;
    for (std::size_t f = 1; f < fields.size(); ++f) {
      if (fields[f].size() > fields[longest].size()) longest = f;
    }
    return fieldText(static_cast<int>(longest) + 1) + ": the record is past htslib's limits (its longest field has " +
           std::to_string(fields.empty() ? 0 : fields[longest].size()) + " bytes, or it has too many values)";
  }
  if ((errcode & BCF_ERR_CHAR) != 0) return ": a character that htslib does not take in a name or a tag";
  return ": htslib cannot read the record (check CHROM, POS, ALT and the FORMAT fields)";
}

int firstHaploidInDiploid(const std::int32_t* gt, int sample_count, int ploidy) {
  for (int s = 0; s < sample_count; ++s) {
    const std::int32_t* call = gt + static_cast<long>(s) * ploidy;
    // A lone '.' is how many files write a missing diploid call.
    if (call[0] != bcf_int32_vector_end && !bcf_gt_is_missing(call[0]) && call[1] == bcf_int32_vector_end) return s;
  }
  return -1;
}
