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
