// Fuzz target: the text data file as the run reads it. The same bytes go
// through the driver's count pass (GetLineCount, GetColCount), the input
// checker and, into arrays of exactly the counted size with guard bytes
// behind each, the fill pass (ReadHeader names form, one ReadLine per sample).
//
// Invariants, beyond "no crash":
// - the checker's counts are the reader's counts;
// - a refusal is one line that names the file;
// - the fill pass never writes past the matrix, the phenotypes or a name
//   buffer, whatever the checker said;
// - when the checker accepts, every genotype cell is 0..3, and every cell,
//   phenotype and marker name is what a plain split of the lines at LF (CR
//   LF) and of the fields at tabs gives.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "io/FileIO.h"
#include "io/data_check.h"

namespace {

using fuzz::require;
constexpr const char* kShownName = "fuzz.txt";

// The lines of the file as LF cuts them (the part after the last LF is not
// a line that ends), without their line-end bytes: CR LF, and for the header
// CR CR LF too.
std::vector<std::string_view> endedLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return lines;
}

std::vector<std::string> splitTabs(std::string_view line) {
  std::vector<std::string> fields(1);
  for (const char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// What a data field stores: spaces removed, then atoi's reading (saturating
// like strtol), then the low 8 bits.
unsigned char expectedByte(std::string field) {
  std::string text;
  for (const char c : field) {
    if (c != ' ') text += c;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<unsigned char>(static_cast<unsigned long>(value));
}

void checkAgainstPlainSplit(std::string_view text, const fuzz::GuardedReadArrays& arrays, int marker_count,
                            int sample_count) {
  const std::vector<std::string_view> lines = endedLines(text);
  require(static_cast<int>(lines.size()) == sample_count + 1, "line count");
  std::string_view header = lines[0];
  for (int crs = 0; crs < 2 && !header.empty() && header.back() == '\r'; ++crs) {
    header.remove_suffix(1);
  }
  const std::vector<std::string> header_fields = splitTabs(header);
  require(static_cast<int>(header_fields.size()) == marker_count + 1, "header field count");
  for (int m = 0; m < marker_count; ++m) {
    require(header_fields[m + 1] == arrays.name(m), "marker name differs from its header field");
  }
  for (int s = 0; s < sample_count; ++s) {
    std::string_view line = lines[s + 1];
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string> fields = splitTabs(line);
    require(static_cast<int>(fields.size()) <= marker_count + 1, "accepted line too long");
    require(arrays.phenotypes.bytes[s] == expectedByte(fields[0]), "phenotype differs");
    for (int m = 0; m < marker_count; ++m) {
      const unsigned char cell = arrays.genotypes.bytes[static_cast<std::size_t>(m) * sample_count + s];
      const bool present = m + 1 < static_cast<int>(fields.size());
      require(cell == (present ? expectedByte(fields[m + 1]) : 0), "genotype differs");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = fuzz::scratchFile("gorva-fuzz-text");
  fuzz::writeScratch(path, data, size);

  // The driver's count pass.
  MdrReader counter;
  require(counter.Open(path), "a written file must open");
  require(counter.byteCount() == static_cast<int>(size), "the reader holds every byte");
  const int line_count = counter.GetLineCount();
  counter.Reset();
  const int column_count = counter.GetColCount();
  counter.Reset();
  const DataCheck check = checkDataFile(kShownName, counter.bytes(), counter.byteCount(), 1);

  if (check.ok) {
    require(check.line_count == line_count, "checker and reader count lines differently");
    require(check.column_count == column_count, "checker and reader count columns differently");
    require(check.error.empty(), "an accepted file has no error");
  } else {
    require(check.error.rfind(kShownName, 0) == 0, "a refusal names the file first");
    require(check.error.find('\n') == std::string::npos, "a refusal is one line");
  }
  // Counts that allocate nothing sensible are the checker's to refuse.
  if (line_count < 2) {
    require(!check.ok, "a file without a line end must be refused");
    return 0;
  }

  // The fill pass, as the driver's ReadMDRFile does it, into exact arrays.
  const int sample_count = line_count - 2;
  const int marker_count = column_count - 1;
  fuzz::GuardedReadArrays arrays(static_cast<std::size_t>(marker_count), static_cast<std::size_t>(sample_count));
  MdrReader filler;
  require(filler.Open(path), "second open");
  filler.SetFieldLimit(column_count);
  filler.ReadHeader(arrays.name_slots.data(), 0);
  for (int row = 0; row < sample_count; ++row) {
    filler.ReadLine(arrays.genotypes.bytes.data(), arrays.phenotypes.bytes.data(), 0, row, sample_count);
  }
  filler.Close();

  arrays.requireInside();
  if (!check.ok) return 0;
  for (std::size_t i = 0; i < arrays.genotypes.size; ++i) {
    require(arrays.genotypes.bytes[i] <= 3, "accepted file stores a genotype code above 3");
  }
  checkAgainstPlainSplit(std::string_view(reinterpret_cast<const char*>(data), size), arrays, marker_count,
                         sample_count);
  return 0;
}
