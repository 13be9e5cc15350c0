#include "io/text_lines.h"

#include <cstdio>

bool slurpFile(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes.clear();
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

std::string notTextProblem(const std::string& path, std::string_view bytes, const std::string& option) {
  const std::string at = path + " (" + option + "): ";
  // Its fields would be read as words of compressed bytes.
  if (bytes.substr(0, 2) == "\x1f\x8b") return at + "the file is gzip-compressed; give it decompressed (gunzip -k " + path + ")";
  if (bytes.substr(0, 4) == "\x28\xb5\x2f\xfd") return at + "the file is zstd-compressed; give it decompressed (zstd -d " + path + ")";
  const std::size_t nul = bytes.find('\0');
  if (nul == std::string_view::npos) return "";
  return at + "byte " + std::to_string(nul + 1) + " is a NUL byte, which no text file holds (is the file compressed, "
         "binary or UTF-16? save it as plain text)";
}

std::string fieldLayoutProblem(const std::string& path, std::string_view bytes, const std::string& option) {
  std::string problem;
  forEachRawLine(bytes, [&](int line_number, std::string_view line) {
    const auto refuse = [&](int field, const std::string& why) {
      problem = path + " line " + std::to_string(line_number) + ", field " + std::to_string(field) + " (" + option +
                "): " + why;
      return false;
    };
    // Fields numbered as the readers number them (runs of blanks and tabs
    // separate them); a second tab since the last field opens an empty one.
    int fields = 0;
    int tabs_since_field = 0;
    int empty_field = 0;
    std::size_t i = 0;
    while (i < line.size()) {
      if (line[i] == '\t' || line[i] == ' ') {
        if (line[i] == '\t' && ++tabs_since_field == 2 && fields > 0 && empty_field == 0) empty_field = fields + 1;
        ++i;
        continue;
      }
      if (empty_field != 0) {
        return refuse(empty_field, "the field is empty (two tabs in a row), so the fields after it would be read one "
                                   "place to the left: write the missing value as NA");
      }
      const std::size_t start = i;
      while (i < line.size() && line[i] != '\t' && line[i] != ' ') ++i;
      ++fields;
      tabs_since_field = 0;
      // R's write.table quotes names by default; the quotes would be read as
      // part of every name and value, so that no sample or marker matches.
      const std::string_view field = line.substr(start, i - start);
      if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
        return refuse(fields, "the field is quoted (" + std::string(field) + "), and quotes would be read as part of "
                              "it: write the file without them (R: write.table(..., quote = FALSE))");
      }
    }
    return true;
  });
  return problem;
}
