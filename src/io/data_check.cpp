// data_check.cpp: one linear pass over a loaded data file that refuses what
// the reader would mis-store and counts what it would read as 0 or in part.
#include "io/data_check.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "io/FileIO.h"
#include "io/field_scanner.h"
#include "io/messages.h"
#include "io/plink_reader.h"
#include "io/repeated_names.h"

namespace {

constexpr unsigned char kTab = '\t';
constexpr unsigned char kLineFeed = '\n';
constexpr unsigned char kCarriageReturn = '\r';
constexpr int kHighestGenotypeCode = 3;
constexpr std::size_t kMaxQuotedText = 40;

// OutOfByteRange: a whole integer that the stored byte cannot hold (-1, 258).
// A phenotype may be any integer, so only a genotype field so written is a
// value not read as written.
enum class FieldKind { Number, NotANumber, NotAsWritten, OutOfByteRange };

// How atoi reads a field: leading white space, an optional sign, digits. A
// field without leading digits is not a number (it reads as 0); one with
// text after its digits, or outside the byte range, is not read as written.
// Trailing CRs are left aside: the reader keeps the first CR of a CR CR LF
// line end in the last field, where it changes nothing.
FieldKind classifyField(const char* text, int length) {
  if (length == 1 && text[0] >= '0' && text[0] <= '9') return FieldKind::Number;
  while (length > 0 && text[length - 1] == '\r') --length;
  int i = 0;
  while (i < length && (text[i] == '\t' || text[i] == '\n' || text[i] == '\v' ||
                        text[i] == '\f' || text[i] == '\r')) {
    ++i;
  }
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= length || text[i] < '0' || text[i] > '9') return FieldKind::NotANumber;
  long value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value <= 255) value = value * 10 + (text[i] - '0');
  }
  if (i < length) return FieldKind::NotAsWritten;
  if (value > 255 || (negative && value != 0)) return FieldKind::OutOfByteRange;
  return FieldKind::Number;
}

// The field as a user would recognise it in a message.
std::string quotedText(const char* text, int length) {
  return "\"" + shownText(std::string_view(text, static_cast<std::size_t>(length)), kMaxQuotedText) + "\"";
}

// One kind of warning: how often, and where it happened first.
struct Tally {
  int count = 0;
  int line = 0;
  int column = 0;
  std::string detail;

  bool note(int at_line, int at_column) {
    if (count++ > 0) return false;
    line = at_line;
    column = at_column;
    return true;
  }
};

std::string place(int line, int column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

class Checker {
 public:
  Checker(const std::string& file_name, const unsigned char* bytes, long size, int phenotype_column,
          const ScannedUpTo& scanned, bool phenotypes_replaced)
      : name_(file_name), bytes_(bytes), size_(size), phenotype_index_(phenotype_column - 1), scanned_(scanned),
        phenotypes_replaced_(phenotypes_replaced) {}

  DataCheck run();

 private:
  bool refuse(const std::string& message) {
    result_.ok = false;
    result_.error = message;
    return false;
  }
  void refuseNulByte(const unsigned char* nul);
  bool checkHeader(const unsigned char* begin, const unsigned char* line_feed);
  bool checkDataLine(int line, const unsigned char* begin, const unsigned char* line_feed);
  bool checkField(int line, int column, const char* text, int length);
  // A field of one digit, which the scanner took whole.
  bool checkOneDigitField(int line, int column, unsigned char digit);
  std::string warnings() const;

  const std::string& name_;
  const unsigned char* bytes_;
  long size_;
  int phenotype_index_;
  const ScannedUpTo& scanned_;
  bool phenotypes_replaced_;
  DataCheck result_;
  Tally short_lines_;
  Tally blank_lines_;
  Tally non_numbers_;
  Tally not_as_written_;
  Tally wrapped_cases_;  // phenotypes beyond the byte range that store as 1, a case
  Tally other_phenotypes_;  // neither 0 nor 1 (PLINK's -9, NA, 2): read as controls
  std::vector<std::string> other_phenotype_texts_;  // the first few distinct ones
  void noteOtherPhenotype(int line, int column, const std::string& text);
  RepeatedNames repeated_names_{"marker names", "name"};
  Tally empty_names_;  // a doubled or trailing tab in the header
  // The separator of a header that holds no tab (a PLINK .raw, a CSV), or
  // 0: such a file reads as a phenotype column and no marker.
  char other_separator_ = 0;
  int unread_last_line_ = 0;
};

DataCheck Checker::run() {
  if (size_ <= 0 || bytes_ == nullptr) {
    refuse(name_ + ": the file is empty");
    return result_;
  }
  const unsigned char* const end = bytes_ + size_;
  // A .bed given as --in would be told as a binary file, or, if it held no
  // NUL, as a header without a line end: neither says what it is.
  if (startsAsBed(bytes_, size_)) {
    refuse(name_ + " line 1: the file is a PLINK .bed (it starts with a .bed's magic bytes), not the tab-separated "
           "table --in reads: give --bfile PREFIX, which reads PREFIX.bed, PREFIX.bim and PREFIX.fam");
    return result_;
  }
  // No text file holds a NUL; one that does is compressed, binary or UTF-16,
  // and its lines and fields would mean nothing.
  constexpr long kNulSearchStep = 64L << 20;
  for (long from = 0; from < size_; from += kNulSearchStep) {
    const std::size_t step = static_cast<std::size_t>(std::min(kNulSearchStep, size_ - from));
    if (const auto* nul = static_cast<const unsigned char*>(std::memchr(bytes_ + from, '\0', step))) {
      refuseNulByte(nul);
      return result_;
    }
    if (scanned_) scanned_(bytes_ + from + step);
  }
  const auto* header_end = static_cast<const unsigned char*>(std::memchr(bytes_, kLineFeed, size_));
  result_.line_count = 1;
  if (header_end == nullptr) {
    const bool lone_crs = std::memchr(bytes_, kCarriageReturn, size_) != nullptr;
    refuse(name_ + " line 1: the header has no line end, so no sample can be read" +
           (lone_crs ? " (the lines end with CR alone; convert them to LF or CR LF)" : ""));
    return result_;
  }
  // A VCF given as --in would be refused at its #CHROM line for its field
  // count, which does not say what the file is.
  if (startsAsVcf(bytes_, size_)) {
    refuse(name_ + " line 1: the file is a VCF, not the tab-separated table --in reads: give it as --vcf " + name_ +
           " (with --pheno FILE for the phenotypes)");
    return result_;
  }
  if (!checkHeader(bytes_, header_end)) return result_;
  result_.line_count = 2;
  const unsigned char* line_start = header_end + 1;
  while (line_start < end) {
    const auto* line_feed = static_cast<const unsigned char*>(
        std::memchr(line_start, kLineFeed, static_cast<std::size_t>(end - line_start)));
    if (line_feed == nullptr) {
      unread_last_line_ = result_.line_count;
      break;
    }
    if (!checkDataLine(result_.line_count, line_start, line_feed)) return result_;
    ++result_.line_count;
    line_start = line_feed + 1;
    if (scanned_) scanned_(line_start);
  }
  result_.ok = true;
  result_.warning = warnings();
  return result_;
}

void Checker::refuseNulByte(const unsigned char* nul) {
  int line = 1;
  int column = 1;
  for (const unsigned char* cursor = bytes_; cursor < nul; ++cursor) {
    if (*cursor == kLineFeed) {
      ++line;
      column = 1;
    } else if (*cursor == kTab) {
      ++column;
    }
  }
  refuse(name_ + " " + place(line, column) +
         ": a NUL byte, which no text file holds (is the file compressed, binary or UTF-16? "
         "save the data as plain text)");
}

bool Checker::checkHeader(const unsigned char* begin, const unsigned char* line_feed) {
  char name[kFieldTextBuffer];
  int column = 0;
  const unsigned char* cursor = begin;
  for (FieldEnd ending = FieldEnd::Tab; ending == FieldEnd::Tab;) {
    ++column;
    const ScannedField field = scanField(cursor, line_feed + 1, LineKind::Header, name);
    ending = field.ending;
    if (column - 1 == phenotype_index_) continue;
    if (field.length > kMaxFieldText) {
      return refuse(name_ + " line 1, column " + std::to_string(column) + ": the marker name has " +
                    std::to_string(field.length) + " characters; at most " +
                    std::to_string(kMaxFieldText) + " are allowed");
    }
    if (field.length == 0) empty_names_.note(1, column);
    repeated_names_.note(std::string(name, static_cast<std::size_t>(field.length)), place(1, column),
                         "in column " + std::to_string(column));
  }
  result_.column_count = column;
  // A file separated by blanks (a PLINK .raw, a table saved with spaces)
  // or commas (a CSV, semicolons where the decimal mark is a comma) reads as
  // a phenotype column alone: say why there is no marker.
  if (column == 1) {
    const std::string_view header(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(line_feed - begin));
    for (const char separator : {',', ';', ' '}) {
      if (header.find(separator) != std::string_view::npos) {
        other_separator_ = separator;
        break;
      }
    }
  }
  if (phenotype_index_ < 0 || phenotype_index_ >= column) {
    return refuse(name_ + " line 1: the header has " + std::to_string(column) +
                  (column == 1 ? " field" : " fields") + ", so there is no phenotype column " +
                  std::to_string(phenotype_index_ + 1));
  }
  return true;
}

bool Checker::checkDataLine(int line, const unsigned char* begin, const unsigned char* line_feed) {
  const unsigned char* content_end = line_feed;
  if (content_end > begin && content_end[-1] == kCarriageReturn) --content_end;
  const int header_fields = result_.column_count;
  if (content_end == begin && header_fields > 1) {
    blank_lines_.note(line, 1);  // a sample with phenotype 0 and genotype 0 everywhere
    return true;
  }
  char text[kFieldTextBuffer];
  int column = 0;
  const unsigned char* cursor = begin;
  for (FieldEnd ending = FieldEnd::Tab; ending == FieldEnd::Tab;) {
    ++column;
    unsigned char digit = 0;
    if (column <= header_fields && takeOneDigitField(cursor, line_feed + 1, digit, ending)) {
      // Most fields are genotypes 0 to 2, which need nothing more.
      if ((digit >= kHighestGenotypeCode || (digit > 1 && column - 1 == phenotype_index_)) &&
          !checkOneDigitField(line, column, digit))
        return false;
      continue;
    }
    const ScannedField field = scanField(cursor, line_feed + 1, LineKind::Data, text);
    ending = field.ending;
    if (column > header_fields) {
      const long fields = 1 + std::count(begin, content_end, kTab);
      const bool trailing_tab = content_end > begin && content_end[-1] == kTab;
      return refuse(name_ + " line " + std::to_string(line) + ": " + std::to_string(fields) +
                    " fields, but the header has " + std::to_string(header_fields) +
                    (trailing_tab ? " (a trailing tab makes one more, empty field)" : ""));
    }
    if (field.length > kMaxFieldText) {
      return refuse(name_ + " " + place(line, column) + ": the field has " +
                    std::to_string(field.length) + " characters; at most " +
                    std::to_string(kMaxFieldText) + " are allowed");
    }
    if (!checkField(line, column, text, static_cast<int>(field.length))) return false;
  }
  if (column < header_fields) short_lines_.note(line, column);
  return true;
}

bool Checker::checkOneDigitField(int line, int column, unsigned char digit) {
  // A missing genotype (3) needs no more than a note of its first place;
  // any other one-digit genotype is refused as the general way refuses it.
  // A one-digit phenotype is always read as written.
  if (column - 1 == phenotype_index_) {
    if (digit > 1 && !phenotypes_replaced_) noteOtherPhenotype(line, column, std::string(1, static_cast<char>('0' + digit)));
    return true;
  }
  if (digit > kHighestGenotypeCode) {
    const char text[2] = {static_cast<char>('0' + digit), '\0'};
    return checkField(line, column, text, 1);
  }
  if (digit == kHighestGenotypeCode && result_.first_missing_line == 0) {
    result_.first_missing_line = line;
    result_.first_missing_column = column;
  }
  return true;
}

// `text` is the text field, spaces removed, at most kMaxFieldText long.
bool Checker::checkField(int line, int column, const char* text, int length) {
  const unsigned char stored = fieldTextToByte(text);
  const FieldKind kind = classifyField(text, length);
  const bool genotype = column - 1 != phenotype_index_;
  if (!genotype && phenotypes_replaced_) return true;
  if (genotype && stored > kHighestGenotypeCode) {
    const std::string code = std::to_string(stored);
    std::string written = quotedText(text, length);
    written = written == "\"" + code + "\"" ? "" : " (written " + written + ")";
    return refuse(name_ + " " + place(line, column) + ": genotype code " + code + written +
                  " is not 0, 1, 2 or 3 (3 = missing)");
  }
  if (genotype && stored == kHighestGenotypeCode && result_.first_missing_line == 0) {
    result_.first_missing_line = line;
    result_.first_missing_column = column;
  }
  if (!genotype && kind == FieldKind::OutOfByteRange && stored == 1 && wrapped_cases_.note(line, column)) {
    wrapped_cases_.detail = quotedText(text, length);
  }
  if (!genotype && stored != 1) {
    const std::string written(text, static_cast<std::size_t>(length));
    if (written != "0") noteOtherPhenotype(line, column, written.empty() ? "(empty)" : written);
  }
  if (kind == FieldKind::NotANumber) {
    non_numbers_.note(line, column);
  } else if ((kind == FieldKind::NotAsWritten || (kind == FieldKind::OutOfByteRange && genotype)) &&
             not_as_written_.note(line, column)) {
    not_as_written_.detail =
        quotedText(text, length) + " was read as " + std::to_string(stored);
  }
  return true;
}

void Checker::noteOtherPhenotype(int line, int column, const std::string& text) {
  other_phenotypes_.note(line, column);
  constexpr std::size_t kShownTexts = 5;
  if (other_phenotype_texts_.size() < kShownTexts &&
      std::find(other_phenotype_texts_.begin(), other_phenotype_texts_.end(), text) ==
          other_phenotype_texts_.end())
    other_phenotype_texts_.push_back(text);
}

std::string Checker::warnings() const {
  std::string text;
  if (other_separator_ != 0) {
    const std::string what = other_separator_ == ' ' ? "blanks" : other_separator_ == ',' ? "commas" : "semicolons";
    text += warningLine("line 1 of " + name_ + " holds " + what + " and no tab, so it names no marker: fields are "
                        "separated by tabs (is the file separated by " + what + "? tr '" + other_separator_ +
                        "' '\\t' converts it)");
  }
  if (short_lines_.count > 0) {
    const bool one = short_lines_.count == 1;
    text += warningLine(std::to_string(short_lines_.count) +
            (one ? " data line in " : " data lines in ") + name_ +
            (one ? " has" : " have") +
            " fewer fields than the header; missing fields were read as 0 (" +
            (one ? "" : "first: ") + "line " + std::to_string(short_lines_.line) + ")");
  }
  if (blank_lines_.count > 0) {
    // Read as a whole sample, which "fewer fields" did not make plain: a
    // trailing blank line added a control to every table.
    const bool one = blank_lines_.count == 1;
    text += warningLine(std::to_string(blank_lines_.count) + (one ? " data line in " : " data lines in ") + name_ +
                        (one ? " is empty and was" : " are empty and were each") + " read as a sample with genotype 0 at "
                        "every marker" + (phenotypes_replaced_ ? "" : ", a control") + " (" + (one ? "" : "first: ") +
                        "line " + std::to_string(blank_lines_.line) + "): delete blank lines, a trailing one included");
  }
  if (non_numbers_.count > 0) {
    const bool one = non_numbers_.count == 1;
    text += warningLine(std::to_string(non_numbers_.count) + (one ? " field in " : " fields in ") +
            name_ + (one ? " is not a number and was" : " are not numbers and were") +
            " read as 0 (" + (one ? "" : "first: ") +
            place(non_numbers_.line, non_numbers_.column) + ")");
  }
  if (not_as_written_.count > 0) {
    const bool one = not_as_written_.count == 1;
    text += warningLine(std::to_string(not_as_written_.count) + (one ? " field in " : " fields in ") +
            name_ + (one ? " was" : " were") + " not read as written (" + (one ? "" : "first: ") +
            place(not_as_written_.line, not_as_written_.column) + ": " +
            not_as_written_.detail + ")");
  }
  if (wrapped_cases_.count > 0) {
    const bool one = wrapped_cases_.count == 1;
    text += warningLine(std::to_string(wrapped_cases_.count) + (one ? " phenotype of " : " phenotypes of ") + name_ +
                        (one ? " lies outside 0-255 and stores as 1, so counts as a case ("
                             : " lie outside 0-255 and store as 1, so count as cases (first: ") +
                        place(wrapped_cases_.line, wrapped_cases_.column) + ": " + wrapped_cases_.detail +
                        "); write 1 for a case and 0 for a control");
  }
  if (other_phenotypes_.count > 0) {
    const bool one = other_phenotypes_.count == 1;
    std::string values;
    for (const std::string& shown : other_phenotype_texts_) values += (values.empty() ? "" : ", ") + shown;
    text += warningLine(std::to_string(other_phenotypes_.count) + (one ? " phenotype of " : " phenotypes of ") +
                        name_ + (one ? " is" : " are") + " neither 0 nor 1 (" + values + "; " +
                        (one ? "" : "first: ") + place(other_phenotypes_.line, other_phenotypes_.column) +
                        ") and " + (one ? "was" : "were") +
                        " read as a control: 1 is a case, anything else a control; PLINK's missing "
                        "codes (-9, NA) are not missing here: give --pheno FILE to set them");
  }
  if (empty_names_.count > 0) {
    const bool one = empty_names_.count == 1;
    text += warningLine(std::to_string(empty_names_.count) + (one ? " marker name of " : " marker names of ") +
                        name_ + (one ? " is" : " are") + " empty (" + (one ? "" : "first: ") +
                        place(empty_names_.line, empty_names_.column) +
                        ", a doubled or trailing tab?); the report and table name such a marker by nothing");
  }
  text += repeated_names_.warning(name_);
  if (unread_last_line_ > 0) {
    text += warningLine("the last line of " + name_ + " (line " +
            std::to_string(unread_last_line_) +
            ") has no line end, so it is not read as a sample");
  }
  return text;
}

}  // namespace

DataCheck checkDataFile(const std::string& file_name, const unsigned char* bytes, long size,
                        int phenotype_column, const ScannedUpTo& scanned, bool phenotypes_replaced) {
  return Checker(file_name, bytes, size, phenotype_column, scanned, phenotypes_replaced).run();
}

bool startsAsVcf(const unsigned char* bytes, long size) {
  constexpr std::string_view kVcfStart = "##fileformat=VCF";
  return bytes != nullptr && static_cast<std::size_t>(size) >= kVcfStart.size() &&
         std::string_view(reinterpret_cast<const char*>(bytes), kVcfStart.size()) == kVcfStart;
}

bool startsAsBed(const unsigned char* bytes, long size) {
  return bytes != nullptr && size >= 3 && std::memcmp(bytes, kBedMagic, 3) == 0;
}
