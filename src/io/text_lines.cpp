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

std::string emptyFieldProblem(const std::string& path, std::string_view bytes, const std::string& option) {
  std::string problem;
  forEachRawLine(bytes, [&](int line_number, std::string_view line) {
    // Fields numbered as the readers number them (runs of blanks and tabs
    // separate them); a second tab since the last field opens an empty one.
    int fields = 0;
    int tabs_since_field = 0;
    bool in_field = false;
    int empty_field = 0;
    bool moved = false;
    for (const char c : line) {
      if (c == '\t' || c == ' ') {
        in_field = false;
        if (c == '\t' && ++tabs_since_field == 2 && fields > 0 && empty_field == 0) empty_field = fields + 1;
      } else if (!in_field) {
        in_field = true;
        tabs_since_field = 0;
        ++fields;
        if (empty_field != 0) {
          moved = true;
          break;
        }
      }
    }
    if (!moved) return true;
    problem = path + " line " + std::to_string(line_number) + ", field " + std::to_string(empty_field) + " (" +
              option + "): the field is empty (two tabs in a row), so the fields after it would be read one "
              "place to the left: write the missing value as NA";
    return false;
  });
  return problem;
}
