// vcf_reader.cpp: records through htslib; plain and compressed VCF are read
// line by line so that every message can name the record's line.
#include "io/vcf_reader.h"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kseq.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <strings.h>
#include <unordered_map>

#include "io/FileIO.h"
#include "io/file_safety.h"
#include "io/messages.h"
#include "io/repeated_names.h"
#include "io/vcf_line_check.h"

namespace {

struct FileCloser {
  void operator()(htsFile* file) const { hts_close(file); }
};
struct BgzfCloser {
  void operator()(BGZF* file) const { bgzf_close(file); }
};
struct HeaderDeleter {
  void operator()(bcf_hdr_t* header) const { bcf_hdr_destroy(header); }
};
struct RecordDeleter {
  void operator()(bcf1_t* record) const { bcf_destroy(record); }
};
struct MallocDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

constexpr int kFixedColumns = 9;  // CHROM POS ID REF ALT QUAL FILTER INFO FORMAT

// What is wrong with a VCF header that htslib refused, read line by line:
// a sample named twice, a record before the #CHROM line, no #CHROM line.
// Why htslib took a file meant as a VCF for other text: it knows a VCF by
// its first line, which an editor's byte-order mark hides and some writers
// leave out.
std::string firstLineNote(const std::string& path) {
  std::unique_ptr<BGZF, BgzfCloser> file(bgzf_open(path.c_str(), "r"));  // plain or compressed
  if (!file) return "";
  kstring_t line = KS_INITIALIZE;
  const bool got = bgzf_getline(file.get(), '\n', &line) >= 0;
  const std::string first = got ? std::string(line.s, line.l) : "";
  ks_free(&line);
  if (first.rfind("\xef\xbb\xbf", 0) == 0)
    return " (it starts with a UTF-8 byte-order mark, which a VCF does not hold: save it without one)";
  if (!first.empty() && first[0] == '#' && first.rfind("##fileformat=VCF", 0) != 0)
    return " (its first line is not the ##fileformat=VCFv4.x line a VCF starts with: add one, such as "
           "##fileformat=VCFv4.2)";
  return "";
}

std::string headerProblem(const std::string& path) {
  std::unique_ptr<htsFile, FileCloser> file(hts_open(path.c_str(), "r"));
  kstring_t line = KS_INITIALIZE;
  std::string problem = path + ": htslib cannot read the header (the lines before the records start with ## "
                        "and end with the #CHROM line)";
  for (int number = 1; file; ++number) {
    const int got = hts_getline(file.get(), KS_SEP_LINE, &line);
    if (got < -1) {
      // A gzip stream cut short fails as it is read, often inside the header.
      // Failing before its first line, it failed in the first stretch htslib
      // decompresses (a small file's whole), which can hold records too.
      problem = number == 1 ? path + ": the compressed data cannot be read from their start, so not even the first "
                                     "line (is the file damaged or cut short? where cannot be told)"
                            : path + " line " + std::to_string(number) +
                                  ": the file cannot be read from here on, inside its header (is it damaged or cut "
                                  "short?)";
    }
    if (got < 0) break;
    const std::string text(line.s, line.l);
    if (text.rfind("#CHROM", 0) == 0) {
      std::unordered_map<std::string, int> field_of;
      std::string ninth;
      int field = 0;
      for (std::size_t start = 0; start <= text.size(); ++field) {
        std::size_t end = std::min(text.find('\t', start), text.size());
        if (field == kFixedColumns - 1) ninth = text.substr(start, end - start);
        // htslib refuses the empty last sample name of a #CHROM line that a
        // script left ending with a tab as a header it cannot parse.
        if (field >= kFixedColumns && start == text.size()) {
          problem = path + " line " + std::to_string(number) + ", field " + std::to_string(field + 1) +
                    ": the #CHROM line ends with a tab, which leaves an empty sample name after it: delete the tab";
          break;
        }
        const auto [seen, is_new] = field_of.emplace(text.substr(start, end - start), field + 1);
        if (field >= kFixedColumns && !is_new) {
          problem = path + " line " + std::to_string(number) + ", field " + std::to_string(field + 1) +
                    ": sample " + seen->first + " was already field " + std::to_string(seen->second);
          break;
        }
        start = end + 1;
      }
      // htslib refuses a FORMAT column without a sample after it, and a
      // line of blanks, with the words "could not parse header".
      if (field == kFixedColumns && text.substr(text.rfind('\t') + 1) == "FORMAT") {
        problem = path + " line " + std::to_string(number) +
                  ": the #CHROM line ends at FORMAT and names no sample, so there are no genotypes";
      } else if (field >= kFixedColumns && ninth != "FORMAT") {
        problem = path + " line " + std::to_string(number) + ", field " + std::to_string(kFixedColumns) + ": " +
                  ninth + ", but the #CHROM line names FORMAT there, before the samples";
      } else if (field == 1 && text.find(' ') != std::string::npos) {
        problem = path + " line " + std::to_string(number) +
                  ": the #CHROM line is separated by blanks, but a VCF's fields are separated by tabs";
      }
      break;
    }
    if (text.empty() || text[0] != '#') {
      problem = path + " line " + std::to_string(number) + ": a record before the #CHROM line";
      break;
    }
  }
  ks_free(&line);
  return problem;
}

// The header line of `path` that declares `name` as a `kind` ("contig",
// "INFO", "FORMAT"), as "line L (TEXT)", or "" when there is none.
std::string declaringHeaderLine(const std::string& path, const std::string& kind, const std::string& name) {
  std::unique_ptr<htsFile, FileCloser> file(hts_open(path.c_str(), "r"));
  kstring_t line = KS_INITIALIZE;
  std::string found;
  const std::string start = "##" + kind + "=<";
  const std::string id = "ID=" + name;
  for (int number = 1; file && found.empty() && hts_getline(file.get(), KS_SEP_LINE, &line) >= 0; ++number) {
    const std::string_view text(line.s, line.l);
    if (text.empty() || text[0] != '#' || text.rfind("#CHROM", 0) == 0) break;
    if (text.rfind(start, 0) != 0) continue;
    for (std::size_t at = text.find(id); at != std::string_view::npos; at = text.find(id, at + 1)) {
      const std::size_t end = at + id.size();
      const bool starts = text[at - 1] == '<' || text[at - 1] == ',';
      const bool ends = end == text.size() || text[end] == ',' || text[end] == '>' || text[end] == ' ';
      if (starts && ends) {
        found = "line " + std::to_string(number) + " (" + shownText(text, 80) + ")";
        break;
      }
    }
  }
  ks_free(&line);
  return found;
}

// Whether the file's last byte is a line end (an empty file has none to miss).
bool endsWithLineEnd(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file || std::fseek(file.get(), -1, SEEK_END) != 0) return true;
  return std::fgetc(file.get()) == '\n';
}

// A gVCF's stand-in for any allele the caller did not see.
bool unseenAllele(const char* allele) { return std::strcmp(allele, "<*>") == 0 || std::strcmp(allele, "<NON_REF>") == 0; }

// The alleles of one sample's call, missing ones included.
int allelesOfCall(const std::int32_t* call, int ploidy) {
  int alleles = 0;
  while (alleles < ploidy && call[alleles] != bcf_int32_vector_end) ++alleles;
  return alleles;
}

std::size_t fieldCount(const kstring_t& line) {
  return 1 + static_cast<std::size_t>(std::count(line.s, line.s + line.l, '\t'));
}

// What htslib's BCF reader lets through of a per-sample block it cannot read
// as written: a GT stored as floats or characters (htslib's genotype reader
// ends the whole process with status 1 and no word there), or fields that do
// not fill the block (a wrong count or type, which shifts every sample's
// values: the genotypes would be read from the wrong bytes). Empty if sound.
std::string bcfSampleBlockProblem(const bcf_hdr_t* header, bcf1_t* record) {
  bcf_unpack(record, BCF_UN_FMT);
  std::size_t used = 0;
  for (int f = 0; f < record->n_fmt; ++f) {
    const bcf_fmt_t& field = record->d.fmt[f];
    used += field.p_off + field.p_len;
    if (std::strcmp(bcf_hdr_int2id(header, BCF_DT_ID, field.id), "GT") != 0) continue;
    if (field.type != BCF_BT_INT8 && field.type != BCF_BT_INT16 && field.type != BCF_BT_INT32) {
      return ", FORMAT GT: its values are stored as " +
             std::string(field.type == BCF_BT_FLOAT ? "floats" : field.type == BCF_BT_CHAR ? "characters" : "another type") +
             ", not as the integers a BCF keeps alleles in (the file is damaged, or its writer wrote GT wrongly)";
    }
  }
  if (used != record->indiv.l) {
    return ": the FORMAT fields take " + std::to_string(used) + " bytes of the record's " +
           std::to_string(record->indiv.l) + " bytes of sample data, so its samples' values cannot be told apart "
           "(the file is damaged)";
  }
  return "";
}

}  // namespace

unsigned char genotypeFromGt(const std::int32_t* alleles, int ploidy) {
  int called = 0;
  int alt_copies = 0;
  for (int i = 0; i < ploidy && alleles[i] != bcf_int32_vector_end; ++i) {
    if (bcf_gt_is_missing(alleles[i])) return 3;
    ++called;
    alt_copies += bcf_gt_allele(alleles[i]) == 1;
  }
  // A call of three or more alleles has no count of ALT copies on the 0-2
  // scale of a diploid genotype.
  if (called == 0 || called > 2) return 3;
  return static_cast<unsigned char>(called == 1 ? 2 * alt_copies : alt_copies);
}

bool VcfReader::refuse(const std::string& message) {
  error_ = message;
  return false;
}

bool VcfReader::holdName(std::uint64_t characters, const std::string& place) {
  // A name is held three times (the list, the index that finds repeats and
  // the copy that the --pheno and subset files are matched against), each
  // copy with its string, its slot or hash node and the allocator's words.
  names_bytes_ += 3 * (characters + 2 * sizeof(std::string) + 32);
  if (names_bytes_ <= memory_limit_) return true;
  out_of_memory_ = true;
  return refuse(place + ": out of memory: the names read so far hold " + std::to_string(names_bytes_ >> 20) +
                " MB, " + std::to_string(memory_limit_ >> 20) + " MB available (free memory, or keep fewer "
                "records: bcftools view -r REGION)");
}

bool VcfReader::open(const std::string& path) {
  path_ = path;
  error_.clear();
  warnings_.clear();
  samples_.clear();
  marker_names_.clear();
  marker_positions_.clear();
  names_bytes_ = 0;
  out_of_memory_ = false;
  // Before the checking pass: a file replaced after it differs at the next.
  stamp_ = stampOf(path_);
  if (!forEachRecord([](int, const std::int32_t*, int, const std::string&) { return true; }, true)) return false;
  kept_samples_.clear();
  for (std::size_t s = 0; s < samples_.size(); ++s) kept_samples_.push_back(static_cast<int>(s));
  phenotypes_.assign(samples_.size(), 0);
  selected_markers_.clear();
  for (std::size_t m = 0; m < marker_names_.size(); ++m) selected_markers_.push_back(static_cast<int>(m));
  return true;
}

bool VcfReader::forEachRecord(const RecordVisit& visit, bool first_pass) {
  // htslib's own messages would come between ours; every refusal names its place itself.
  hts_set_log_level(HTS_LOG_OFF);
  std::unique_ptr<htsFile, FileCloser> file(hts_open(path_.c_str(), "r"));
  if (!file) {
    // htslib also declines a file it opens but takes for binary data of no
    // format it knows (a PLINK .bed, say): that is no missing file.
    const int error_number = errno;
    if (std::FILE* plain = std::fopen(path_.c_str(), "rb")) {
      std::fclose(plain);
      return refuse(path_ + ": htslib reads it as neither VCF nor BCF (binary data of another format)");
    }
    return refuse("cannot open " + path_ + ": " + std::strerror(error_number));
  }
  const htsFormat* format = hts_get_format(file.get());
  if (format->format != vcf && format->format != bcf) {
    std::unique_ptr<char, MallocDeleter> description(hts_format_description(format));
    return refuse(path_ + ": htslib reads it as " + std::string(description ? description.get() : "?") +
                  ", not as VCF or BCF" + firstLineNote(path_));
  }
  // htslib recognises an xz-compressed VCF by its contents, but its line
  // reader aborts the whole process on one: only plain, gzip and bgzip text is read.
  if (format->compression != no_compression && format->compression != gzip && format->compression != bgzf) {
    std::unique_ptr<char, MallocDeleter> description(hts_format_description(format));
    return refuse(path_ + ": htslib reads it as " + std::string(description ? description.get() : "?") +
                  ", a compression it cannot read records from: give it decompressed (xz -dk FILE) or "
                  "gzip-compressed");
  }
  const bool text = format->format == vcf;
  if (hts_check_EOF(file.get()) == 0) {
    return refuse(path_ + ": the compressed file lacks its end-of-file block, so it was cut short (write it again)");
  }
  std::unique_ptr<bcf_hdr_t, HeaderDeleter> header(bcf_hdr_read(file.get()));
  if (!header) {
    return refuse(text ? headerProblem(path_)
                       : path_ + ": htslib cannot read the BCF header (is the file damaged or cut short?)");
  }
  // htslib reads genotypes only from a GT declared as a String: declared as
  // an Integer, every record read as one without GT, and the file was told
  // as holding none.
  if (const int gt = bcf_hdr_id2int(header.get(), BCF_DT_ID, "GT");
      bcf_hdr_idinfo_exists(header.get(), BCF_HL_FMT, gt) && bcf_hdr_id2type(header.get(), BCF_HL_FMT, gt) != BCF_HT_STR) {
    const std::string line = text ? declaringHeaderLine(path_, "FORMAT", "GT") : "";
    return refuse(path_ + (line.empty() ? "" : " " + line) + ": the header declares FORMAT GT with another type than String, so htslib reads no genotype "
                  "from it (write ##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">)");
  }
  const int sample_count = bcf_hdr_nsamples(header.get());
  const std::string header_end = text ? " line " + std::to_string(file->lineno) : "";
  if (first_pass) {
    if (sample_count == 0) return refuse(path_ + header_end + ": the header names no sample, so there are no genotypes");
    std::unordered_map<std::string, int> field_of;
    int blank_names = 0;
    std::string first_blank;
    for (int s = 0; s < sample_count; ++s) {
      const std::string_view name = header->samples[s];
      // htslib keeps what follows an empty field as one name, tabs and line end included.
      if (name.empty() || std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 32; })) {
        return refuse(path_ + header_end + ", field " + std::to_string(kFixedColumns + 1 + s) + ": sample name \"" +
                      shownText(name, 80) +
                      "\" is empty or holds a tab or line end (separate the #CHROM line's fields by single tabs)");
      }
      const auto [seen, is_new] = field_of.emplace(header->samples[s], kFixedColumns + 1 + s);
      if (!is_new) {
        return refuse(path_ + header_end + ", field " + std::to_string(kFixedColumns + 1 + s) + ": sample " +
                      seen->first + " was already field " + std::to_string(seen->second));
      }
      if (!holdName(std::strlen(header->samples[s]), path_ + header_end)) return false;
      samples_.push_back({header->samples[s], header->samples[s]});
      if (name.find(' ') != std::string_view::npos && blank_names++ == 0) {
        first_blank = (header_end.empty() ? "" : header_end.substr(1) + ", ") + "field " +
                      std::to_string(kFixedColumns + 1 + s) + ": \"" + std::string(name) + "\"";
      }
    }
    if (blank_names > 0) {
      // The phenotype, subset, strata and covariate files split their lines
      // at blanks, so none of them can name such a sample.
      warnings_ += warningLine(std::to_string(blank_names) + " sample names of " + path_ +
                               " hold a blank (first: " + first_blank + "), so no --pheno, --keep, "
                               "--remove, --strata or --covar line can name them (bcftools reheader -s renames "
                               "samples)");
    }
  } else if (sample_count != static_cast<int>(samples_.size())) {
    return refuse(path_ + ": the samples changed during the run");
  }

  std::unique_ptr<bcf1_t, RecordDeleter> record(bcf_init());
  std::int32_t* gt_values = nullptr;
  int gt_capacity = 0;
  std::unique_ptr<std::int32_t, MallocDeleter> gt_owner;
  long record_number = 0;
  int marker = 0;
  int multi_allelic = 0;
  int no_snp_allele = 0;  // the only ALT is *, <*> or <NON_REF>
  int without_gt = 0;
  std::string line_copy;
  long last_line = 0;  // of the last record read
  // htslib adds the tags and contigs it meets undeclared to the header it
  // parses with; what was declared is looked up in a copy made before.
  std::unique_ptr<bcf_hdr_t, HeaderDeleter> declared(text ? bcf_hdr_dup(header.get()) : nullptr);
  int mixed_ploidy = 0;  // diploid records holding a haploid call
  long polyploid_calls = 0;  // of three or more alleles, read as missing
  long half_calls = 0;  // one allele missing and one called (0/.), read as missing
  std::string first_half_call;
  long unseen_sites = 0;  // one ALT beside a gVCF's unseen allele
  long unseen_calls = 0;  // carrying that unseen allele, read as missing
  long same_alleles = 0;  // records whose ALT repeats REF
  std::string first_same_alleles;
  std::string first_unseen;
  std::string first_polyploid;
  std::string first_mixed;
  long last_mixed_record = 0;
  RepeatedNames repeats("marker names", "name");
  const std::size_t expected_fields = kFixedColumns + static_cast<std::size_t>(sample_count);
  auto place = [&]() {
    if (text) return path_ + " line " + std::to_string(file->lineno);
    return path_ + " record " + std::to_string(record_number) + " (" + bcf_seqname_safe(header.get(), record.get()) +
           ":" + std::to_string(record->pos + 1) + "; a BCF has no lines)";
  };
  for (;;) {
    if (text) {
      const int got = hts_getline(file.get(), KS_SEP_LINE, &file->line);
      if (got == -1) break;
      if (got < -1) {
        return refuse(path_ + " line " + std::to_string(file->lineno + 1) +
                      ": the file cannot be read from here on (is it damaged or cut short?)");
      }
      if (file->line.l == 0) continue;  // a blank line is no record
      ++record_number;
      last_line = file->lineno;
      if (fieldCount(file->line) != expected_fields) {
        std::string message = place() + ": " + std::to_string(fieldCount(file->line)) +
                              " fields, but the #CHROM line has " + std::to_string(expected_fields);
        // A compressed file cut short ends inside its last record: that
        // record's fields are what is left of it.
        const bool compressed = format->compression != no_compression;
        if (fieldCount(file->line) < expected_fields && hts_getline(file.get(), KS_SEP_LINE, &file->line) < 0 &&
            (compressed || !endsWithLineEnd(path_)))
          message += ", and the file ends inside that record (was it cut short? write it again)";
        return refuse(message);
      }
      if (const std::string problem = vcfLineProblem({file->line.s, file->line.l}, header.get()); !problem.empty()) {
        return refuse(place() + problem);
      }
      // Parsing cuts the line into pieces in place; a refusal reads a copy.
      line_copy.assign(file->line.s, file->line.l);
      if (vcf_parse(&file->line, header.get(), record.get()) < 0 || record->errcode != 0) {
        return refuse(place() + vcfParseProblem(line_copy, declared ? declared.get() : header.get(), record->errcode,
                                                [this](const std::string& kind, const std::string& name) {
                                                  return declaringHeaderLine(path_, kind, name);
                                                }));
      }
    } else {
      const int got = bcf_read(file.get(), header.get(), record.get());
      if (got == -1) break;
      ++record_number;
      if (got < -1 || record->errcode != 0) {
        return refuse(path_ + " record " + std::to_string(record_number) +
                      ": the BCF cannot be read from here on (is it damaged or cut short?)");
      }
      // A BCF keeps POS as a signed 32-bit number and htslib reads it
      // unsigned: a negative one came out as a position past 4 billion.
      if (record->pos > std::numeric_limits<std::int32_t>::max()) {
        return refuse(path_ + " record " + std::to_string(record_number) + " (" +
                      bcf_seqname_safe(header.get(), record.get()) + "; a BCF has no lines): the position is " +
                      std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(record->pos)) + 1) +
                      ", negative (a VCF position is 0 or more; is the file damaged?)");
      }
      if (const std::string problem = bcfSampleBlockProblem(header.get(), record.get()); !problem.empty()) {
        return refuse(place() + problem);
      }
    }
    bcf_unpack(record.get(), BCF_UN_STR);
    // A gVCF's variant site lists its stand-in for any unseen allele beside
    // the one it saw: REF and that ALT are the site's two alleles, and a call
    // of the unseen one counts copies of neither.
    int unseen = -1;
    if (record->n_allele == 3 && unseenAllele(record->d.allele[1]) != unseenAllele(record->d.allele[2])) {
      unseen = unseenAllele(record->d.allele[1]) ? 1 : 2;
      if (std::strcmp(record->d.allele[3 - unseen], "*") == 0) unseen = -1;
    }
    if (record->n_allele > 2 && unseen < 0) {
      ++multi_allelic;
      continue;
    }
    // A deletion spanning the site (what bcftools norm -m- leaves of a
    // multi-allelic record's `*`) and a gVCF's stand-in for any unseen allele
    // are no second allele of a SNP: their copies are not genotypes of one.
    if (record->n_allele == 2 && (std::strcmp(record->d.allele[1], "*") == 0 || unseenAllele(record->d.allele[1]))) {
      ++no_snp_allele;
      continue;
    }
    const int values = bcf_get_genotypes(header.get(), record.get(), &gt_values, &gt_capacity);
    gt_owner.release();
    gt_owner.reset(gt_values);
    if (values <= 0) {
      ++without_gt;
      continue;
    }
    // A sample whose GT is absent (its value list ending before GT, which
    // VCF allows for trailing keys, or a BCF's integer missing value) comes
    // from htslib as the integer missing value, not as a missing allele: read
    // as it stands it is a haploid call of no ALT copy, a homozygous REF.
    std::replace(gt_values, gt_values + values, bcf_int32_missing, static_cast<std::int32_t>(bcf_gt_missing));
    const int ploidy = values / sample_count;
    for (int s = 0; first_pass && ploidy >= 2 && s < sample_count; ++s) {
      const std::int32_t* call = gt_values + static_cast<long>(s) * ploidy;
      const int alleles = allelesOfCall(call, ploidy);
      const auto where = [&] {
        return place() + ", field " + std::to_string(kFixedColumns + 1 + s) + " (sample " + samples_[s].iid + ")";
      };
      if (alleles > 2) {
        if (polyploid_calls++ == 0) first_polyploid = where();
        continue;
      }
      const auto missing = std::count_if(call, call + alleles, [](std::int32_t a) { return bcf_gt_is_missing(a); });
      if (missing > 0 && missing < alleles && half_calls++ == 0) first_half_call = where();
    }
    if (unseen > 0) {
      if (first_pass) ++unseen_sites;
      for (int s = 0; s < sample_count; ++s) {
        bool carries_unseen = false;
        for (std::int32_t* value = gt_values + static_cast<long>(s) * ploidy; value < gt_values + (s + 1L) * ploidy;
             ++value) {
          if (*value == bcf_int32_vector_end || bcf_gt_is_missing(*value)) continue;
          if (bcf_gt_allele(*value) == unseen) {
            *value = bcf_gt_missing;
            carries_unseen = true;
          } else if (bcf_gt_allele(*value) == 2) {  // the seen ALT, listed second
            *value = bcf_gt_is_phased(*value) ? bcf_gt_phased(1) : bcf_gt_unphased(1);
          }
        }
        if (first_pass && carries_unseen && unseen_calls++ == 0) {
          first_unseen = place() + ", field " + std::to_string(kFixedColumns + 1 + s) + " (sample " + samples_[s].iid + ")";
        }
      }
    }
    if (first_pass && ploidy >= 2) {
      if (const int s = firstHaploidInDiploid(gt_values, sample_count, ploidy); s >= 0) {
        if (mixed_ploidy++ == 0) {
          first_mixed = place() + ", field " + std::to_string(kFixedColumns + 1 + s) + " (sample " + samples_[s].iid + ")";
        }
        last_mixed_record = record_number;
      }
    }
    if (first_pass) {
      for (int i = 0; i < values; ++i) {
        const std::int32_t value = gt_values[i];
        if (value == bcf_int32_vector_end || bcf_gt_is_missing(value) || bcf_gt_allele(value) < record->n_allele) continue;
        return refuse(place() + ", field " + std::to_string(kFixedColumns + 1 + i / ploidy) + " (sample " +
                      samples_[i / ploidy].iid + "): GT allele " + std::to_string(bcf_gt_allele(value)) +
                      ", but the record has " + std::to_string(record->n_allele - 1) + " ALT allele");
      }
      // VCF has ALT differ from REF; a record whose ALT repeats it (a writer
      // that filled ALT with REF where it saw no variant, say) counts copies
      // of the same base under two codes.
      const int alt = unseen > 0 ? 3 - unseen : 1;
      if (strcasecmp(record->d.allele[0], record->d.allele[alt]) == 0 && same_alleles++ == 0)
        first_same_alleles = place() + ", field 5";
      std::string name = record->d.id;
      if (name == ".") name = std::string(bcf_seqname_safe(header.get(), record.get())) + ":" + std::to_string(record->pos + 1);
      if (name.size() > static_cast<std::size_t>(kMaxFieldText)) {
        // Imputation servers name indels CHROM:POS:REF:ALT, however long
        // their alleles.
        return refuse(place() + ", field 3: the marker name has " + std::to_string(name.size()) +
                      " characters; at most " + std::to_string(kMaxFieldText) +
                      " are allowed (name the records by position first: bcftools annotate --set-id "
                      "'%CHROM:%POS')");
      }
      // A BCF stores names as bytes, which a plain VCF's fields cannot hold:
      // the table's lines split at tabs, the report's at line ends (a
      // marker name's carriage return is warned about with the names).
      const std::string chromosome = bcf_seqname_safe(header.get(), record.get());
      const std::size_t name_break = name.find_first_of("\t\n");
      const std::size_t chromosome_break = chromosome.find_first_of("\t\n\r");
      if (name_break != std::string::npos || chromosome_break != std::string::npos) {
        const bool in_name = name_break != std::string::npos;
        const char breaking = in_name ? name[name_break] : chromosome[chromosome_break];
        return refuse(place() + (in_name ? ", field 3: the marker name" : ", field 1: the chromosome") + " holds a " +
                      (breaking == '\t' ? "tab" : "line end") +
                      ", which would split the table's and the report's lines (rename it: bcftools annotate "
                      "--set-id, --rename-chrs)");
      }
      const std::string where = place().substr(path_.size() + 1);  // the warning names the file
      if (!holdName(name.size(), place())) return false;
      repeats.note(name, where + ", field 3", (text ? "on " : "at ") + where);
      marker_names_.push_back(std::move(name));
      marker_positions_.push_back(std::string(bcf_seqname_safe(header.get(), record.get())) + ":" +
                                  std::to_string(record->pos + 1));
    } else if (marker >= static_cast<int>(marker_names_.size())) {
      return refuse(changedMessage(path_));
    }
    if (!visit(marker, gt_values, ploidy, place())) return false;
    ++marker;
  }
  if (!first_pass) {
    // Read again for its values, the file must be the one the first pass checked.
    if (stamp_.taken && !(stampOf(path_) == stamp_)) return refuse(changedMessage(path_));
    return true;
  }
  if (text && format->compression == no_compression && !endsWithLineEnd(path_)) {
    // A file cut short ends inside its last line: a GT cut after its
    // first allele reads as a haploid call, so such a last record is refused.
    if (last_mixed_record == record_number) {
      return refuse(path_ + " line " + std::to_string(last_line) +
                    ": the last line has no line end and a GT with one allele where the others have two: "
                    "the file was cut short (write it again)");
    }
    warnings_ += warningLine(path_ + " line " + std::to_string(last_line) +
                             ": the last line has no line end; it was read as it stands (was the file cut short?)");
  }
  // "N <what> of FILE <how> (first: PLACE); <consequence>", when N > 0.
  const auto countedWarning = [&](long count, const char* what, const char* how, const std::string& first,
                                  const char* consequence) {
    if (count == 0) return;
    warnings_ += warningLine(std::to_string(count) + " " + what + " of " + path_ + " " + how + " (first: " +
                             first.substr(path_.size() + 1) + "); " + consequence);
  };
  countedWarning(mixed_ploidy, "diploid records", "hold haploid calls", first_mixed,
                 "a haploid call counts as 0 or 2 ALT copies");
  countedWarning(half_calls, "calls", "have one allele missing and one called", first_half_call,
                 "such a half-call is read as missing, as PLINK's --vcf-half-call missing reads it");
  countedWarning(polyploid_calls, "calls", "hold more than two alleles", first_polyploid,
                 "such a call is read as missing");
  countedWarning(same_alleles, "records", "have an ALT allele equal to REF", first_same_alleles,
                 "their calls were read as written, allele 1 as ALT (a VCF's ALT differs from REF: is the file's "
                 "ALT column right?)");
  if (unseen_sites > 0) {
    warnings_ += warningLine(
        std::to_string(unseen_sites) + " records of " + path_ +
        " have one ALT allele beside <NON_REF> or <*> (a gVCF's unseen allele) and are read as biallelic; " +
        std::to_string(unseen_calls) + " calls of the unseen allele are read as missing" +
        (unseen_calls > 0 ? " (first: " + first_unseen.substr(path_.size() + 1) + ")" : std::string()));
  }
  warnings_ += repeats.warning(path_);
  if (multi_allelic + without_gt > 0) {
    warnings_ += warningLine(std::to_string(multi_allelic + without_gt) + " records of " + path_ + " were skipped: " +
                             std::to_string(multi_allelic) + " multi-allelic (bcftools norm -m- splits them into "
                             "biallelic records) and " + std::to_string(without_gt) + " without a GT genotype");
  }
  if (no_snp_allele > 0) {
    warnings_ += warningLine(std::to_string(no_snp_allele) + " records of " + path_ +
                             " were skipped: their only ALT allele is * (a deletion spanning the site), <*> or "
                             "<NON_REF> (a gVCF's unseen allele), not an allele whose copies can be counted");
  }
  if (record_number == 0) return refuse(path_ + ": the file has no record after its header, so there is nothing to analyse");
  if (marker == 0 && without_gt > 0 && multi_allelic == 0 && no_snp_allele == 0) {
    return refuse(path_ + ": none of its " + std::to_string(record_number) +
                  " records has GT in its FORMAT field (field 9), so the file holds no genotypes");
  }
  if (marker == 0) {
    return refuse(path_ + ": none of its " + std::to_string(record_number) +
                  " records is a biallelic record with GT genotypes, so there is nothing to analyse");
  }
  return true;
}

SubsetInput VcfReader::subsetInput() const { return SubsetInput{path_, samples_, {}, marker_names_, false, {}, {}, false}; }

void VcfReader::select(const Subset& subset) {
  kept_samples_ = subset.samples;
  phenotypes_ = subset.phenotypes;
  selected_markers_ = subset.markers;
}

bool VcfReader::refuseFirstMissingGenotype() {
  std::size_t next = 0;
  return forEachRecord(
      [&](int marker, const std::int32_t* gt, int ploidy, const std::string& place) {
        if (next >= selected_markers_.size() || selected_markers_[next] != marker) return true;
        ++next;
        for (const int s : kept_samples_) {
          const std::int32_t* call = gt + static_cast<long>(s) * ploidy;
          if (genotypeFromGt(call, ploidy) != 3) continue;
          return refuse(place + ", field " + std::to_string(kFixedColumns + 1 + s) + " (sample " + samples_[s].iid +
                        "): a missing genotype" + (allelesOfCall(call, ploidy) > 2 ? " (a call of more than two alleles)" : "") +
                        ", but " + missingUnderNoneAdvice(OptionSpelling::kCommandLine));
        }
        return true;
      },
      false);
}

bool VcfReader::read(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names) {
  readLabels(phenotypes, marker_names);
  return readInBlocks(genotypes, std::max(markerCount(), 1), [](int, int) {});
}

void VcfReader::readLabels(unsigned char* phenotypes, char** marker_names) const {
  const long sample_count = sampleCount();
  for (long k = 0; k < sample_count; ++k) phenotypes[k] = phenotypes_[k];
  for (int row = 0; row < markerCount(); ++row) {
    std::snprintf(marker_names[row], kFieldTextBuffer, "%s", marker_names_[selected_markers_[row]].c_str());
  }
}

bool VcfReader::readInBlocks(unsigned char* genotypes, int block_markers, const BlockFilled& filled) {
  const long sample_count = sampleCount();
  std::size_t row = 0;
  const bool ok = forEachRecord(
      [&](int marker, const std::int32_t* gt, int ploidy, const std::string&) {
        if (row >= selected_markers_.size() || selected_markers_[row] != marker) return true;
        unsigned char* target = genotypes + static_cast<long>(row % block_markers) * sample_count;
        for (long k = 0; k < sample_count; ++k) {
          target[k] = genotypeFromGt(gt + static_cast<long>(kept_samples_[k]) * ploidy, ploidy);
        }
        ++row;
        if (row % block_markers == 0) filled(static_cast<int>(row) - block_markers, static_cast<int>(row));
        return true;
      },
      false);
  if (ok && row % block_markers != 0)
    filled(static_cast<int>(row - row % block_markers), static_cast<int>(row));
  return ok;
}
