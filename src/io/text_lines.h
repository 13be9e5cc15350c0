// text_lines.h: the small whitespace-separated text files that come beside
// genotype data (.fam, .bim, phenotype and subset lists), read whole and
// walked line by line.
#ifndef GORVA_IO_TEXTLINES_H
#define GORVA_IO_TEXTLINES_H

#include <string>
#include <string_view>
#include <vector>

// A whole file as bytes; false when it cannot be opened or read.
bool slurpFile(const std::string& path, std::string& bytes);

// Why `bytes`, the content of the file `path` given to `option`, is no text
// file (gzip or zstd compressed, or holding a NUL byte), or "" when it is.
std::string notTextProblem(const std::string& path, std::string_view bytes, const std::string& option);

// Calls visit(line_number, line) for every line, blank ones included, the
// line without its end. Lines end with LF, CR LF or a CR alone (as some
// spreadsheets still save them: read as one line, such a list would name only
// its first sample or marker). A UTF-8 byte-order mark at the start of the
// file (spreadsheets save one) is dropped, which would otherwise join the
// first field and so rename its sample or hide a header. Stops, returning
// false, as soon as visit returns false.
template <typename Visit>
bool forEachRawLine(std::string_view text, Visit visit) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int line_number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++start;
    if (!visit(++line_number, line)) return false;
  }
  return true;
}

// Calls visit(line_number, fields) for every line that is not blank, lines
// as forEachRawLine walks them. Fields are separated by runs of blanks and
// tabs. Stops, returning false, as soon as visit returns false.
template <typename Visit>
bool forEachLine(std::string_view text, Visit visit) {
  std::vector<std::string_view> fields;
  return forEachRawLine(text, [&](int line_number, std::string_view line) {
    fields.clear();
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
      const std::size_t field_start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      if (i > field_start) fields.push_back(line.substr(field_start, i - field_start));
    }
    return fields.empty() || visit(line_number, fields);
  });
}

// Two ways of writing a table that these whitespace-separated files cannot
// hold. A missing value left empty (pandas' to_csv, R's write.table with
// na = "") is two tabs in a row: runs of blanks and tabs separate fields
// here, so the fields after it would move one place to the left, the next
// column's value read as the missing one's (an empty field at a line's end
// moves nothing and is not one). A quoted field (R's write.table) would keep
// its quotes in the name or value. Returns the refusal naming the first such
// line and field of `bytes`, the file `path` given to `option`, or "" when
// there is none.
std::string fieldLayoutProblem(const std::string& path, std::string_view bytes, const std::string& option);

#endif  // GORVA_IO_TEXTLINES_H
