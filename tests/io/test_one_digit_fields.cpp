// Nearly every data field is one digit, and the checker and the reader take
// those by a short path of their own. A field written " 2" or "2 " reads as
// "2" but goes the general way, so random files and their spaced copies
// must be judged and read exactly alike: same verdict, message, warnings,
// first missing place, and the same bytes in every array.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "io/DataCheck.h"
#include "io/FileIO.h"
#include "support/run_program.h"

namespace {

// Mostly one-digit fields, with every other kind of field among them.
std::string randomField(std::mt19937& random) {
  static const char* const kOthers[] = {"12", " 1", "", "a", "2.7", "-1", "300", "NA", "03", "4", "9"};
  std::uniform_int_distribution<int> pick(0, 99);
  const int p = pick(random);
  if (p < 85) return std::string(1, static_cast<char>('0' + p % 4));
  return kOthers[p % (sizeof kOthers / sizeof kOthers[0])];
}

struct RandomFile {
  std::string bytes;
  int phenotype_column = 1;
};

RandomFile randomFile(std::mt19937& random) {
  std::uniform_int_distribution<int> markers_of(1, 6), lines_of(1, 8), percent(0, 99);
  const int markers = markers_of(random);
  RandomFile file;
  file.phenotype_column = std::uniform_int_distribution<int>(1, markers + 1)(random);
  std::string header;
  for (int c = 1; c <= markers + 1; ++c) header += (c > 1 ? "\t" : "") + std::string("c") + std::to_string(c);
  file.bytes = header + "\n";
  const int lines = lines_of(random);
  for (int line = 0; line < lines; ++line) {
    int fields = markers + 1;
    if (percent(random) < 10) fields += percent(random) < 50 ? -1 : 1;  // short or long lines
    for (int f = 0; f < fields; ++f) file.bytes += (f > 0 ? "\t" : "") + randomField(random);
    const int end = percent(random);
    if (line + 1 == lines && end < 10) break;  // no line end at the last line
    file.bytes += end < 70 ? "\n" : end < 90 ? "\r\n" : "\r\r\n";
  }
  return file;
}

// The same file with a space before (or after) every one-digit data field.
std::string spaced(const std::string& bytes, bool before) {
  std::string out;
  const std::size_t body = bytes.find('\n') + 1;
  out = bytes.substr(0, body);
  for (std::size_t i = body; i < bytes.size(); ++i) {
    const char c = bytes[i];
    const bool starts_field = i == body || bytes[i - 1] == '\t' || bytes[i - 1] == '\n';
    const bool ends_field = i + 1 >= bytes.size() || bytes[i + 1] == '\t' || bytes[i + 1] == '\n' || bytes[i + 1] == '\r';
    const bool one_digit = c >= '0' && c <= '9' && starts_field && ends_field;
    if (one_digit && before) out += ' ';
    out += c;
    if (one_digit && !before) out += ' ';
  }
  return out;
}

DataCheck check(const std::string& bytes, int phenotype_column) {
  return checkDataFile("data.txt", reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()), phenotype_column);
}

// Everything the run takes from a file: phenotypes then genotypes.
std::vector<unsigned char> readAsTheRunDoes(const std::string& path, int phenotype_column) {
  MdrReader counter, reader;
  if (!counter.Open(path.c_str())) return {};
  const int samples = counter.GetLineCount() - 2;
  counter.Reset();
  const int columns = counter.GetColCount();
  std::vector<unsigned char> arrays(static_cast<std::size_t>(samples) * columns + 1, 0xAA);
  std::vector<std::vector<char>> names(columns, std::vector<char>(kFieldTextBuffer));
  std::vector<char*> slots;
  for (auto& name : names) slots.push_back(name.data());
  if (!reader.Open(path.c_str())) return {};
  reader.SetFieldLimit(columns);
  reader.ReadHeader(slots.data(), phenotype_column - 1);
  for (int row = 0; row < samples; ++row)
    reader.ReadLine(arrays.data() + samples, arrays.data(), phenotype_column - 1, row, samples);
  return arrays;
}

TEST(OneDigitFields, AreJudgedAndReadAsTheSameFieldsWrittenWithSpaces) {
  std::mt19937 random(21);
  const std::string dir = makeTempDir();
  int accepted = 0;
  for (int round = 0; round < 400; ++round) {
    const RandomFile file = randomFile(random);
    const DataCheck plain = check(file.bytes, file.phenotype_column);
    accepted += plain.ok;
    writeFile(dir + "/plain.txt", file.bytes);
    const std::vector<unsigned char> plain_read = readAsTheRunDoes(dir + "/plain.txt", file.phenotype_column);
    for (bool before : {true, false}) {
      const std::string variant = spaced(file.bytes, before);
      SCOPED_TRACE("file:\n" + file.bytes + "\nvariant:\n" + variant);
      const DataCheck other = check(variant, file.phenotype_column);
      EXPECT_EQ(plain.ok, other.ok);
      EXPECT_EQ(plain.error, other.error);
      EXPECT_EQ(plain.warning, other.warning);
      EXPECT_EQ(plain.line_count, other.line_count);
      EXPECT_EQ(plain.column_count, other.column_count);
      EXPECT_EQ(plain.first_missing_line, other.first_missing_line);
      EXPECT_EQ(plain.first_missing_column, other.first_missing_column);
      writeFile(dir + "/variant.txt", variant);
      EXPECT_EQ(plain_read, readAsTheRunDoes(dir + "/variant.txt", file.phenotype_column));
    }
  }
  // Both verdicts come up often enough to mean something.
  EXPECT_GT(accepted, 40);
  EXPECT_LT(accepted, 360);
}

}  // namespace
