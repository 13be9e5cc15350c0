// FileIO.cpp: MdrReader, the in-memory scanner of data files, and MdrWriter,
// the line writer of result files.
#include "io/FileIO.h"

#include <sys/mman.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "io/exit_status.h"

namespace {

constexpr unsigned char kTab = '\t';
constexpr unsigned char kLineFeed = '\n';
constexpr unsigned char kCarriageReturn = '\r';

}  // namespace

unsigned char fieldTextToByte(const char* text) {
  // Nearly every field is one digit; spare those the library call.
  if (text[0] >= '0' && text[0] <= '9' && text[1] == '\0') {
    return static_cast<unsigned char>(text[0] - '0');
  }
  // strtol reads exactly what atoi reads, but saturates instead of
  // overflowing on absurdly long digit strings.
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<unsigned char>(static_cast<unsigned long>(value));
}

// ---------------------------------------------------------------------------
// MdrReader

MdrReader::MdrReader()
    : buffer(nullptr),
      size(0),
      position(0),
      at_end(false),
      is_open(false),
      column_count(0),
      header_text{},
      field_text{},
      max_fields(0) {}

MdrReader::~MdrReader() { Close(); }

bool MdrReader::Open(const char* path) {
  if (is_open) return true;
  out_of_memory = false;
  open_error_ = 0;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    open_error_ = errno;
    return false;
  }
  off_t length = -1;
  if (fseeko(file, 0, SEEK_END) == 0) length = ftello(file);
  if (length < 0) open_error_ = errno;
  fseeko(file, 0, SEEK_SET);
  if (length < 0) {
    std::fclose(file);
    return false;
  }
  if (length > kLoadedFileLimit) {
    // Too large to load: mapped, its pages given back as the scans pass them.
    void* mapped = mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_PRIVATE, fileno(file), 0);
    if (mapped == MAP_FAILED) open_error_ = errno;
    std::fclose(file);
    if (mapped == MAP_FAILED) return false;
    madvise(mapped, static_cast<std::size_t>(length), MADV_SEQUENTIAL);
    buffer = static_cast<unsigned char*>(mapped);
    size = static_cast<long>(length);
    mapped_ = true;
    released_ = 0;
    position = 0;
    at_end = false;
    is_open = true;
    return true;
  }
  unsigned char* loaded = nullptr;
  std::size_t read_count = 0;
  if (length > 0) {
    loaded = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(length)));
    out_of_memory = loaded == nullptr;
    if (loaded == nullptr) {
      open_error_ = ENOMEM;
      std::fclose(file);
      return false;
    }
    read_count = std::fread(loaded, 1, static_cast<std::size_t>(length), file);
  }
  std::fclose(file);
  // A short read is not an error here; only the bytes really read are
  // scanned, so nothing uninitialised is ever looked at.
  buffer = loaded;
  size = static_cast<long>(read_count);
  if (size == 0) {
    std::free(buffer);
    buffer = nullptr;
  }
  position = 0;
  at_end = false;
  is_open = true;
  return true;
}

void MdrReader::Close() {
  if (!is_open) return;
  if (mapped_) {
    munmap(buffer, static_cast<std::size_t>(size));
  } else {
    std::free(buffer);
  }
  mapped_ = false;
  buffer = nullptr;
  size = 0;
  position = 0;
  is_open = false;
}

void MdrReader::releaseScanned(const unsigned char* done) {
  if (!mapped_ || done < buffer) return;
  const long reached = (done - buffer) / kReleaseStep * kReleaseStep;
  if (reached < released_) released_ = 0;  // a new scan from the start
  if (reached <= released_) return;
  madvise(buffer + released_, static_cast<std::size_t>(reached - released_), MADV_DONTNEED);
  released_ = reached;
}

void MdrReader::Reset() {
  if (!is_open) return;
  position = 0;
  at_end = false;
  released_ = 0;
}

int MdrReader::GetLineCount() {
  if (!is_open) return 0;
  // Every line end holds exactly one LF, and a CR never ends a line alone.
  int line_ends = 0;
  const unsigned char* cursor = buffer + position;
  const unsigned char* const end = buffer + size;
  while (cursor < end) {
    const void* found = std::memchr(cursor, kLineFeed, static_cast<std::size_t>(end - cursor));
    if (found == nullptr) break;
    ++line_ends;
    cursor = static_cast<const unsigned char*>(found) + 1;
    releaseScanned(cursor);
  }
  position = size;
  at_end = true;
  return 1 + line_ends;
}

int MdrReader::GetColCount() {
  if (!is_open) return 0;
  int tabs = 0;
  while (position < size && buffer[position] != kLineFeed) {
    if (buffer[position] == kTab) ++tabs;
    ++position;
  }
  if (position < size) {
    ++position;  // the LF; a CR before it is no tab, so it changed nothing
  } else {
    at_end = true;
  }
  column_count = tabs + 1;
  return column_count;
}

int MdrReader::ReadHeader() {
  int copied = 0;
  int tabs = 0;
  bool line_ended = false;
  while (position < size && !line_ended) {
    const unsigned char byte = buffer[position];
    if (byte == kLineFeed) {
      ++position;
      line_ended = true;
    } else if (byte == kCarriageReturn && position + 1 < size && buffer[position + 1] == kLineFeed) {
      position += 2;
      line_ended = true;
    } else {
      if (byte == kTab) ++tabs;
      if (copied < kMaxFieldText) header_text[copied++] = static_cast<char>(byte);
      ++position;
    }
  }
  if (!line_ended) at_end = true;
  header_text[copied] = '\0';
  column_count = tabs + 1;
  return copied;
}

FieldEnd MdrReader::collectField(char* out, LineKind kind) {
  const unsigned char* cursor = buffer + position;
  const FieldEnd ending = scanField(cursor, buffer + size, kind, out).ending;
  position = cursor - buffer;
  if (ending == FieldEnd::BufferEnd) at_end = true;
  return ending;
}

int MdrReader::effectiveFieldLimit() const {
  if (max_fields > 0) return max_fields;
  if (column_count > 0) return column_count;
  return INT_MAX;
}

void MdrReader::ReadHeader(char** names, int skip_column) {
  const int name_slots = max_fields > 0 ? max_fields - 1 : INT_MAX;
  int field = 0;
  for (;; ++field) {
    const int slot = field < skip_column ? field : field - 1;
    const bool kept = field != skip_column && slot >= 0 && slot < name_slots;
    if (collectField(kept ? names[slot] : nullptr, LineKind::Header) != FieldEnd::Tab) break;
  }
  column_count = field + 1;
}

void MdrReader::ReadLine(int** columns, int row) {
  const int limit = effectiveFieldLimit();
  for (int field = 0;; ++field) {
    const FieldEnd ending = collectField(field_text, LineKind::Data);
    if (field < limit) columns[field][row] = fieldTextToByte(field_text);
    if (ending != FieldEnd::Tab) return;
  }
}

void MdrReader::ReadLine(unsigned char* genotypes, unsigned char* phenotypes,
                         int phenotype_column, int row, int sample_count) {
  const int limit = effectiveFieldLimit();
  const long long stride = sample_count;
  for (int field = 0;; ++field) {
    FieldEnd ending;
    unsigned char value;
    const unsigned char* cursor = buffer + position;
    if (takeOneDigitField(cursor, buffer + size, value, ending)) {
      position = cursor - buffer;
    } else {
      ending = collectField(field_text, LineKind::Data);
      value = fieldTextToByte(field_text);
    }
    if (field < limit) {
      if (field == phenotype_column) {
        phenotypes[row] = value;
      } else {
        const int marker = field < phenotype_column ? field : field - 1;
        if (marker >= 0 && marker < limit - 1) genotypes[marker * stride + row] = value;
      }
    }
    if (ending != FieldEnd::Tab) return;
  }
}

// ---------------------------------------------------------------------------
// MdrWriter

MdrWriter::MdrWriter() : stream(nullptr) {}

bool MdrWriter::Save(const char* path) {
  Close();  // a second Save must not leak the first stream
  stream = std::fopen(path, "wt");
  return stream != nullptr;
}

bool MdrWriter::Append(const char* path) {
  Close();
  stream = std::fopen(path, "at+");
  return stream != nullptr;
}

void MdrWriter::Close() {
  if (stream == nullptr) return;
  std::fclose(stream);
  stream = nullptr;
}

void MdrWriter::WriteLine(const char* text) {
  if (stream == nullptr) return;
  char line[kMaxLineText + 1];
  std::size_t length = 0;
  while (length < kMaxLineText && text[length] != '\0') ++length;
  std::memcpy(line, text, length);
  line[length] = '\n';
  std::fwrite(line, 1, length + 1, stream);
}

int readCountedDataFile(const char* file_name, unsigned char* genotypes, unsigned char* phenotypes,
                        int sample_count, int column_count, int phenotype_column, char** marker_names,
                        int* open_error) {
  MdrReader reader;
  if (!reader.Open(file_name)) {
    if (open_error != nullptr) *open_error = reader.openError();
    return reader.outOfMemory() ? kExitNoMemory : kExitBadInput;
  }
  // The limit must be known before the header, which fills one name per column.
  reader.SetFieldLimit(column_count);
  reader.ReadHeader(marker_names, phenotype_column - 1);
  for (int row = 0; row < sample_count; ++row) {
    reader.ReadLine(genotypes, phenotypes, phenotype_column - 1, row, sample_count);
  }
  reader.Close();
  return kExitOk;
}
