// plink_reader.cpp: the .fam and .bim as whitespace-separated text, the .bed
// as packed 2-bit genotypes, SNP-major.
#include "io/plink_reader.h"

#include "io/case_status.h"
#include "io/file_safety.h"
#include "io/messages.h"
#include "io/repeated_names.h"
#include "core/search_constants.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>

#include "io/FileIO.h"
#include "io/text_lines.h"

namespace {

constexpr int kPlinkColumns = 6;

std::string unopenedMessage(const std::string& file) { return plinkUnopenedMessage(file, PlinkCaller::kProgram); }

std::string columnsMessage(const std::string& file, int line, std::size_t count,
                           const char* layout) {
  return file + " line " + std::to_string(line) + ": " + std::to_string(count) +
         (count == 1 ? " column" : " columns") + ", but a line of this file has 6 (" + layout + ")";
}

// The column (from 1) of the first field holding a NUL byte, or 0: a NUL
// would cut the text where it stands, so two different ids could read alike.
int firstNulColumn(const std::vector<std::string_view>& fields) {
  for (std::size_t c = 0; c < fields.size(); ++c) {
    if (fields[c].find('\0') != std::string_view::npos) return static_cast<int>(c) + 1;
  }
  return 0;
}

std::string nulMessage(const std::string& file, int line, int column) {
  return file + " line " + std::to_string(line) + ", column " + std::to_string(column) +
         ": a NUL byte, which no text file holds (is the file compressed, binary or UTF-16? "
         "save the data as plain text)";
}

std::string hexBytes(const unsigned char* bytes, std::size_t count) {
  std::string text;
  char hex[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    if (i > 0) text += ' ';
    text += hex;
  }
  return text;
}

}  // namespace

bool PlinkReader::refuse(const std::string& message) {
  error_ = message;
  return false;
}

bool PlinkReader::open(const std::string& prefix, bool refuse_missing_genotypes,
                       bool fam_phenotypes) {
  out_of_memory_ = false;
  try {
    return openFileSet(prefix, refuse_missing_genotypes, fam_phenotypes);
  } catch (const std::bad_alloc&) {
    return refuseOutOfMemory("the text of " + prefix + ".fam and " + prefix +
                             ".bim and their sample and marker lists");
  }
}

bool PlinkReader::refuseOutOfMemory(const std::string& what) {
  out_of_memory_ = true;
  return refuse("out of memory: could not allocate " + what);
}

bool PlinkReader::openFileSet(const std::string& prefix, bool refuse_missing_genotypes,
                              bool fam_phenotypes) {
  prefix_ = prefix;
  error_.clear();
  warnings_.clear();
  fam_sample_count_ = 0;
  kept_samples_.clear();
  kept_lines_.clear();
  case_status_.clear();
  fam_ids_.clear();
  fam_status_.clear();
  fam_lines_.clear();
  selected_markers_.clear();
  marker_names_.clear();
  marker_positions_.clear();
  marker_lines_.clear();
  left_out_markers_.clear();
  if (!readFam(fam_phenotypes) || !readBim()) return false;
  if (!checkBed()) return false;
  return !refuse_missing_genotypes || refuseFirstMissingGenotype();
}

bool PlinkReader::readFam(bool fam_phenotypes) {
  const std::string name = prefix_ + ".fam";
  std::string text;
  if (!slurpFile(name, text)) {
    return refuse(unopenedMessage(name));
  }
  fam_bytes_ = static_cast<double>(text.size());
  std::unordered_map<std::string, int> line_of;
  int cases = 0;
  int zeros = 0;
  const bool ok = forEachLine(text, [&](int line, const std::vector<std::string_view>& fields) {
    if (const int column = firstNulColumn(fields)) return refuse(nulMessage(name, line, column));
    if (fields.size() != kPlinkColumns) {
      return refuse(columnsMessage(name, line, fields.size(),
                                   "family id, sample id, father, mother, sex, phenotype"));
    }
    const std::string sample = std::string(fields[0]) + ' ' + std::string(fields[1]);
    const auto [seen, is_new] = line_of.emplace(sample, line);
    if (!is_new) {
      return refuse(name + " line " + std::to_string(line) + ", column 2: sample " + sample +
                    " was already named on line " + std::to_string(seen->second) +
                    "; a sample listed twice would count twice (remove the repeated line)");
    }
    int status = caseStatus(fields[5]);
    if (status == kUnreadableStatus && fam_phenotypes) {
      return refuse(name + " line " + std::to_string(line) + ", column 6: the phenotype '" +
                    shownText(fields[5], 40) +
                    "' is not a number (2 = case, 1 = control; 0, -9 or NA = missing)");
    }
    if (status == kQuantitativeStatus && fam_phenotypes) {
      return refuse(name + " line " + std::to_string(line) + ", column 6: the phenotype " +
                    shownText(fields[5], 40) +
                    " is neither 2 (case), 1 (control) nor 0, -9 or NA (missing): PLINK reads such a column as "
                    "a quantitative trait, not case/control (give case/control phenotypes with --pheno FILE)");
    }
    if (status < kNoStatus) status = kNoStatus;  // --pheno replaces the column
    cases += status == 1;
    zeros += isZeroStatus(fields[5]);
    fam_ids_.push_back({std::string(fields[0]), std::string(fields[1])});
    fam_status_.push_back(status);
    fam_lines_.push_back(line);
    if (status >= 0 || !fam_phenotypes) {
      kept_samples_.push_back(fam_sample_count_);
      kept_lines_.push_back(line);
      case_status_.push_back(static_cast<unsigned char>(status >= 0 ? status : 0));
    }
    ++fam_sample_count_;
    return true;
  });
  if (!ok) return false;
  if (fam_sample_count_ == 0) return refuse(name + ": the file has no sample line");
  if (sampleCount() == 0) {
    return refuse(name + ": none of the " + std::to_string(fam_sample_count_) +
                  " samples has a case (2) or control (1) phenotype in column 6 (--pheno FILE gives them)");
  }
  if (missingPhenotypeCount() > 0 && fam_phenotypes) {
    warnings_ += warningLine(std::to_string(missingPhenotypeCount()) + " samples of " + name +
                             " have a missing phenotype and were left out");
  }
  // 0 = control, 1 = case (PLINK's --1) is the other common coding.
  if (cases == 0 && zeros > 0 && fam_phenotypes) warnings_ += zeroCodingWarning(name, zeros);
  return true;
}

bool PlinkReader::readBim() {
  const std::string name = prefix_ + ".bim";
  std::string text;
  if (!slurpFile(name, text)) {
    return refuse(unopenedMessage(name));
  }
  bim_bytes_ = static_cast<double>(text.size());
  RepeatedNames repeats("SNP ids", "id");
  int negative_positions = 0;
  std::string first_negative;
  const bool ok = forEachLine(text, [&](int line, const std::vector<std::string_view>& fields) {
    if (const int column = firstNulColumn(fields)) return refuse(nulMessage(name, line, column));
    if (fields.size() != kPlinkColumns) {
      return refuse(columnsMessage(name, line, fields.size(),
                                   "chromosome, SNP id, position in cM, base-pair position, "
                                   "allele 1, allele 2"));
    }
    std::string id(fields[1]);
    if (id.size() > static_cast<std::size_t>(kMaxFieldText)) {
      return refuse(name + " line " + std::to_string(line) + ", column 2: the SNP id has " +
                    std::to_string(id.size()) + " characters; at most " +
                    std::to_string(kMaxFieldText) + " are allowed");
    }
    // The position is printed beside the marker's results: it must be one.
    long long position = 0;
    const std::string_view bp = fields[3];
    const auto parsed = std::from_chars(bp.data(), bp.data() + bp.size(), position);
    if (parsed.ec != std::errc() || parsed.ptr != bp.data() + bp.size()) {
      const bool too_large = parsed.ec == std::errc::result_out_of_range && parsed.ptr == bp.data() + bp.size();
      return refuse(name + " line " + std::to_string(line) + ", column 4: the base-pair position '" +
                    shownText(bp, 40) +
                    (too_large ? "' is past the largest a 64-bit integer holds" : "' is not a whole number"));
    }
    repeats.note(id, "line " + std::to_string(line) + ", column 2", "on line " + std::to_string(line));
    // PLINK leaves out a marker whose position is negative: that is how a
    // .bim marks markers not to analyse.
    const bool left_out = position < 0;
    left_out_markers_.push_back(left_out);
    if (left_out && negative_positions++ == 0) first_negative = "line " + std::to_string(line) + ", " + id;
    if (!left_out) selected_markers_.push_back(static_cast<int>(marker_names_.size()));
    marker_names_.push_back(std::move(id));
    marker_positions_.push_back(std::string(fields[0]) + ":" + std::string(fields[3]));
    marker_lines_.push_back(line);
    return true;
  });
  if (!ok) return false;
  if (marker_names_.empty()) return refuse(name + ": the file has no marker line");
  if (selected_markers_.empty()) {
    return refuse(name + ": every marker has a negative base-pair position in column 4, which leaves it out "
                  "(PLINK's mark of a marker not to analyse), so no marker is left");
  }
  warnings_ += repeats.warning(name);
  if (negative_positions > 0) {
    warnings_ += warningLine(std::to_string(negative_positions) + " markers of " + name +
                             " have a negative base-pair position in column 4 and were left out, as PLINK "
                             "leaves them out (first: " + first_negative + ")");
  }
  if (negative_positions == 0) left_out_markers_.clear();
  return true;
}

bool PlinkReader::checkBed() {
  const std::string name = bedName();
  // Before the checks: a .bed replaced after them differs at its reading.
  bed_stamp_ = stampOf(name);
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    return refuse(unopenedMessage(name));
  }
  unsigned char magic[3] = {0, 0, 0};
  const std::size_t got = std::fread(magic, 1, 3, file);
  std::fclose(file);
  std::error_code failure;
  const std::uintmax_t actual = std::filesystem::file_size(name, failure);
  if (failure) return refuse("cannot read the size of " + name + ": " + failure.message());

  if (got == 3 && magic[0] == kBedMagic[0] && magic[1] == kBedMagic[1] && magic[2] == 0x00) {
    return refuse(name +
                  " bytes 1-3: 6c 1b 00 marks the individual-major layout of old PLINK "
                  "versions, which is not read (rewrite it SNP-major, e.g. plink "
                  "--bfile PREFIX --make-bed --out NEWPREFIX)");
  }
  if (got == 3 &&
      (magic[0] != kBedMagic[0] || magic[1] != kBedMagic[1] || magic[2] != kBedMagic[2])) {
    return refuse(name + " bytes 1-3: " + hexBytes(magic, 3) +
                  " is not the header of a PLINK .bed (6c 1b 01)");
  }
  const std::uintmax_t per_marker = (static_cast<std::uintmax_t>(fam_sample_count_) + 3) / 4;
  const std::uintmax_t expected = 3 + per_marker * static_cast<std::uintmax_t>(bimMarkerCount());
  if (actual != expected) {
    return refuse(name + ": the file has " + std::to_string(actual) + " bytes, but " + prefix_ +
                  ".bim (" + std::to_string(bimMarkerCount()) + " markers) and " + prefix_ + ".fam (" +
                  std::to_string(fam_sample_count_) + " samples) need 3 + " +
                  std::to_string(bimMarkerCount()) + " x " + std::to_string(per_marker) + " = " +
                  std::to_string(expected) +
                  " bytes (do the three files belong to the same data set?)");
  }
  checkTheLastByte();
  return true;
}

// A marker's last byte holds fewer samples than four when the .fam's count is
// not a multiple of four, and PLINK writes zeros after the last one. A .fam
// short of a sample or two still passes the size check; its samples after the
// gap would then silently take their neighbours' genotypes. A .fam with a
// sample or two too many passes it too, and those samples read the zeros:
// two copies of A1 (usually the minor allele) at every marker. The first
// markers tell either, without reading the whole file.
void PlinkReader::checkTheLastByte() {
  const int in_last_byte = static_cast<int>(fam_sample_count_ % 4);
  const std::string name = bedName();
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return;  // the read says so
  const off_t per_marker = (static_cast<off_t>(fam_sample_count_) + 3) / 4;
  const int looked_at = std::min(bimMarkerCount(), 1000);
  const unsigned past_mask = in_last_byte == 0 ? 0u : (0xffu << (2 * in_last_byte)) & 0xffu;
  const int samples_in_byte = in_last_byte == 0 ? 4 : in_last_byte;
  unsigned ever_set = 0;  // the bits of the byte's samples that some marker sets
  int holding = 0;
  int first = -1;
  int read = 0;
  for (int m = 0; m < looked_at; ++m, ++read) {
    if (fseeko(file, 3 + (static_cast<off_t>(m) + 1) * per_marker - 1, SEEK_SET) != 0) break;
    const int byte = std::fgetc(file);
    if (byte == EOF) break;
    ever_set |= static_cast<unsigned>(byte);
    if ((static_cast<unsigned>(byte) & past_mask) == 0) continue;
    if (holding++ == 0) first = m;
  }
  std::fclose(file);
  if (holding > 0) {
    warnings_ += warningLine(std::to_string(holding) + " of the first " + std::to_string(looked_at) + " markers of " +
                             name + " hold genotypes after the last of the " + std::to_string(fam_sample_count_) +
                             " samples of " + prefix_ + ".fam (first: marker " + std::to_string(first + 1) + ", " +
                             markerName(first) + "), where PLINK writes zeros: does the .fam list every sample?");
  }
  // A real sample homozygous for A1 at each of 100 markers or more is not to
  // be expected; at most three samples can lie in the padding (four would
  // change the size).
  constexpr int kMarkersToTell = 100;
  if (read < kMarkersToTell) return;
  int zeros = 0;
  while (zeros < samples_in_byte - 1 && ((ever_set >> (2 * (samples_in_byte - 1 - zeros))) & 3u) == 0) ++zeros;
  if (zeros == 0) return;
  const int last = fam_sample_count_ - 1;
  warnings_ += warningLine(std::to_string(zeros) + (zeros == 1 ? " sample" : " samples") + " at the end of " + prefix_ +
                           ".fam (from line " + std::to_string(fam_lines_[last - zeros + 1]) + ", " +
                           fam_ids_[last - zeros + 1].fid + " " + fam_ids_[last - zeros + 1].iid +
                           ") read two copies of A1 at every one of the first " + std::to_string(read) +
                           " markers of " + name + ", as the zeros PLINK writes after the last sample read: does the "
                           ".fam list samples the .bed lacks?");
}

template <typename Decode>
bool PlinkReader::forEachPackedMarker(Decode decode, int first_row, int end_row) {
  const std::string name = bedName();
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return refuse("cannot open " + name + " again to read its genotypes");
  const std::size_t per_marker = (static_cast<std::size_t>(fam_sample_count_) + 3) / 4;
  std::unique_ptr<unsigned char[]> packed(new unsigned char[per_marker]);
  bool ok = true;
  int next = 0;  // the .bim marker at the file position
  int m = 0;
  if (end_row < 0) end_row = markerCount();
  for (int row = first_row; ok && row < end_row; ++row) {
    m = selected_markers_[row];
    if (row == first_row || m != next) {
      ok = fseeko(file, 3 + static_cast<off_t>(m) * static_cast<off_t>(per_marker), SEEK_SET) == 0;
    }
    next = m + 1;
    if (ok) ok = std::fread(packed.get(), 1, per_marker, file) == per_marker;
    if (ok) ok = decode(row, m, packed.get());
  }
  std::fclose(file);
  if (ok && bed_stamp_.taken && !(stampOf(name) == bed_stamp_)) ok = refuse(changedMessage(name));
  if (!ok && error_.empty()) {
    refuse(name + ": the file ended before marker " + std::to_string(m + 1) + " (" + markerName(m) +
           "); was it changed during the run?");
  }
  return ok;
}

SubsetInput PlinkReader::subsetInput() const {
  return SubsetInput{prefix_ + ".fam", fam_ids_, fam_status_, marker_names_, true, prefix_ + ".bim", left_out_markers_, false};
}

void PlinkReader::select(const Subset& subset) {
  kept_samples_ = subset.samples;
  case_status_ = subset.phenotypes;
  kept_lines_.clear();
  for (const int s : kept_samples_) kept_lines_.push_back(fam_lines_[s]);
  selected_markers_ = subset.markers;
}

bool PlinkReader::refuseFirstMissingGenotype() {
  return forEachPackedMarker([this](int, int m, const unsigned char* packed) {
    for (std::size_t k = 0; k < kept_samples_.size(); ++k) {
      const int s = kept_samples_[k];
      if (((packed[s >> 2] >> ((s & 3) * 2)) & 3) != 1) continue;
      return refuse(bedName() + " marker " + std::to_string(m + 1) + " (" + markerName(m) + ", " +
                    prefix_ + ".bim line " + std::to_string(marker_lines_[m]) + "), sample " +
                    std::to_string(s + 1) + " (" + prefix_ + ".fam line " +
                    std::to_string(kept_lines_[k]) +
                    "): a missing genotype, but " + missingUnderNoneAdvice(OptionSpelling::kCommandLine));
    }
    return true;
  });
}

bool PlinkReader::read(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names) {
  try {
    return decodeInto(genotypes, phenotypes, marker_names);
  } catch (const std::bad_alloc&) {
    return refuseOutOfMemory("one packed marker of " + bedName());
  }
}

bool PlinkReader::decodeInto(unsigned char* genotypes, unsigned char* phenotypes,
                             char** marker_names) {
  readLabels(phenotypes, marker_names);
  return decodeRows(genotypes, 0, markerCount());
}

void PlinkReader::readLabels(unsigned char* phenotypes, char** marker_names) const {
  const long sample_count = sampleCount();
  for (long k = 0; k < sample_count; ++k) phenotypes[k] = case_status_[k];
  for (int row = 0; row < markerCount(); ++row) {
    std::snprintf(marker_names[row], kFieldTextBuffer, "%s", marker_names_[selected_markers_[row]].c_str());
  }
}

namespace {

// The four genotype bytes of each packed .bed byte, lowest bits first.
struct PackedByteCodes {
  unsigned char codes[256][4];
  constexpr PackedByteCodes() : codes{} {
    for (int byte = 0; byte < 256; ++byte)
      for (int i = 0; i < 4; ++i) codes[byte][i] = kBedCodeToGenotype[(byte >> (2 * i)) & 3];
  }
};
constexpr PackedByteCodes kPackedByteCodes;

}  // namespace

bool PlinkReader::decodeRows(unsigned char* genotypes, int first_row, int end_row) {
  const long sample_count = sampleCount();
  // When every sample of the .fam takes part, in order (the usual case),
  // four codes are decoded at a time.
  bool every_sample = sample_count == fam_sample_count_;
  for (long k = 0; every_sample && k < sample_count; ++k) every_sample = kept_samples_[k] == k;
  return forEachPackedMarker(
      [&](int row, int, const unsigned char* packed) {
        unsigned char* target = genotypes + static_cast<long>(row - first_row) * sample_count;
        if (every_sample) {
          const long whole = sample_count / 4;
          for (long b = 0; b < whole; ++b) std::memcpy(target + 4 * b, kPackedByteCodes.codes[packed[b]], 4);
          for (long k = 4 * whole; k < sample_count; ++k) target[k] = kPackedByteCodes.codes[packed[whole]][k - 4 * whole];
          return true;
        }
        for (long k = 0; k < sample_count; ++k) {
          const int s = kept_samples_[k];
          target[k] = kBedCodeToGenotype[(packed[s >> 2] >> ((s & 3) * 2)) & 3];
        }
        return true;
      },
      first_row, end_row);
}

bool PlinkReader::readRows(unsigned char* genotypes, int first_row, int end_row) {
  try {
    return decodeRows(genotypes, first_row, end_row);
  } catch (const std::bad_alloc&) {
    return refuseOutOfMemory("one packed marker of " + bedName());
  }
}

bool PlinkReader::readInBlocks(unsigned char* genotypes, int block_markers, const BlockFilled& filled) {
  for (int first = 0; first < markerCount(); first += block_markers) {
    const int end = std::min(first + block_markers, markerCount());
    if (!readRows(genotypes, first, end)) return false;
    filled(first, end);
  }
  return true;
}

double PlinkReader::bytesHeld() const {
  // Texts are read in chunks and lists grow one by one: twice the room at
  // worst. Sample ids keep their text (at most the .fam's) in strings of
  // their own; a marker name is a string in the list and again in the map of
  // ids, with the map's node.
  constexpr double kGrowth = 2;
  constexpr double kStringBytes = sizeof(std::string) + kFieldTextBuffer;
  constexpr double kMapNodeBytes = 64;
  constexpr double kAllocationOverhead = 16;
  const double per_sample = sizeof(SampleId) + 2 * kAllocationOverhead + 5 * sizeof(int) + 1;
  const double samples = kGrowth * famSampleCount() * per_sample + fam_bytes_;
  const double markers = bimMarkerCount() * (kGrowth * (kStringBytes + 2 * sizeof(int)) +
                                             kStringBytes + kMapNodeBytes);
  const double packed_marker = (fam_sample_count_ + 3) / 4;
  return std::max(kGrowth * fam_bytes_, kGrowth * bim_bytes_ + markers) + samples + packed_marker;
}

std::string plinkUnopenedMessage(const std::string& file, PlinkCaller caller) {
  const bool program = caller == PlinkCaller::kProgram;
  std::string message = "cannot open " + file +
                        (program ? " (--bfile PREFIX reads PREFIX.bed, PREFIX.bim and PREFIX.fam)"
                                 : " (read_plink(prefix) reads prefix.bed, prefix.bim and prefix.fam)");
  // A PLINK 2 set in its own format looks like a missing PLINK 1 set.
  const std::string prefix = file.substr(0, file.size() - 4);
  if (std::FILE* pgen = std::fopen((prefix + ".pgen").c_str(), "rb")) {
    std::fclose(pgen);
    message += "; " + prefix + ".pgen is PLINK 2's format, which is not read: plink2 --pfile " + prefix +
               " --make-bed --out NEWPREFIX writes a set for " +
               (program ? "--bfile NEWPREFIX" : "read_plink(\"NEWPREFIX\")");
  }
  // A prefix given with a member's extension ("--bfile data.bed") names
  // data.bed.fam; the set it meant is there.
  const std::string meant = prefix.size() > 4 ? prefix.substr(0, prefix.size() - 4) : "";
  const std::string extension = prefix.size() > 4 ? prefix.substr(prefix.size() - 4) : "";
  if (extension == ".bed" || extension == ".bim" || extension == ".fam") {
    if (std::FILE* fam = std::fopen((meant + ".fam").c_str(), "rb")) {
      std::fclose(fam);
      message += (program ? "; did you mean --bfile " + meant : "; did you mean read_plink(\"" + meant + "\")") +
                 "? the prefix is given without .bed, .bim or .fam";
    }
  }
  return message;
}
