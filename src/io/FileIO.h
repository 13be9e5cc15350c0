// FileIO.h: the data-file reader and the result line writer.
//
// MdrReader loads a tab-separated data file whole and scans it in place with a
// cursor: counting its lines and columns, reading its header of marker names
// and converting each data line straight into the caller's arrays. No line
// allocates anything.
//
// MdrWriter is a thin holder of one output stream that writes whole lines.
#ifndef GORVA_IO_FILEIO_H
#define GORVA_IO_FILEIO_H

#include <cstdio>

#include "io/field_scanner.h"

// Converts the terminated text of a data field to the byte that is stored: a
// decimal integer read like atoi (leading white space, optional sign, digits,
// stopping at the first other character; no digits give 0), kept as its low
// 8 bits, so "-1" gives 255, "258" gives 2 and "2.7" gives 2.
unsigned char fieldTextToByte(const char* text);

class MdrReader {
 public:
  MdrReader();
  ~MdrReader();
  MdrReader(const MdrReader&) = delete;
  MdrReader& operator=(const MdrReader&) = delete;

  // Loads the file at `path` whole, as raw bytes, with one read; a file
  // over kLoadedFileLimit bytes is mapped instead, and releaseScanned()
  // gives its pages back behind a scan. On a reader that is already open:
  // true at once, the loaded bytes and the position are kept. False when the
  // file cannot be opened, mapped, or held (out of memory). An empty file
  // opens with no buffer.
  bool Open(const char* path);
  static constexpr long kLoadedFileLimit = 2147483647L;
  // Drops the mapped pages before `done` (a pointer into bytes()) from
  // memory, whole steps of kReleaseStep at a time; a later read of them
  // maps them in again. Nothing for a loaded file.
  void releaseScanned(const unsigned char* done);
  static constexpr long kReleaseStep = 64L << 20;
  // Releases the loaded bytes; does nothing on a closed reader.
  void Close();
  // Moves an open reader back to its first byte.
  void Reset();

  // 1 + the number of line ends (LF, or CR LF as one) from the position to
  // the end of the file; leaves the position at the end. 0 when not open.
  int GetLineCount();
  // Field count (1 + tabs) of the line at the position; moves past its line
  // end and remembers the count as the column count. 0 when not open.
  int GetColCount();

  // Line form: copies the line at the position into the header text (at most
  // kMaxFieldText characters are kept), counts its fields into the column
  // count, moves past its line end (LF or CR LF) and returns the number of
  // characters copied.
  int ReadHeader();
  // Names form: the fields of the line at the position, in order, go into
  // names[0], names[1], ... (buffers of kFieldTextBuffer characters, longer
  // names are cut), leaving out the field whose index (from 0) is
  // `skip_column`. Bytes are copied as they are, spaces and lone CRs
  // included. Ends the line on LF, CR LF or CR CR LF and remembers the field
  // count as the column count. With a field limit set, at most limit - 1
  // names are written.
  void ReadHeader(char** names, int skip_column);

  // Int form: field f (from 0) of the data line at the position, converted by
  // fieldTextToByte, is stored at columns[f][row]. Fields at or past the field
  // limit are skipped.
  void ReadLine(int** columns, int row);
  // Byte form: reads the data line at the position as sample `row`. Field f
  // (from 0) goes to phenotypes[row] when f == phenotype_column, else to
  // genotypes[m * sample_count + row] with m = f (f below the phenotype
  // column) or f - 1 (above it). Only fields below the field limit, and only
  // marker rows m below limit - 1, are written, so the matrix of limit - 1
  // markers is never overrun. Spaces are removed from every field.
  void ReadLine(unsigned char* genotypes, unsigned char* phenotypes,
                int phenotype_column, int row, int sample_count);

  // The number of fields a line may fill, phenotype column included: the
  // column count of the caller's arrays. While it is not set (0), the column
  // count last counted by GetColCount or ReadHeader is the limit; with
  // neither, lines are not limited.
  void SetFieldLimit(int field_count) { max_fields = field_count; }

  // Read-only views of the loaded file, for checks that scan the same bytes.
  const unsigned char* bytes() const { return buffer; }
  long byteCount() const { return size; }

  bool isOpen() const { return is_open; }
  // True when the last Open failed because the file's bytes could not be held.
  bool outOfMemory() const { return out_of_memory; }
  // The errno of Open's failing step (0 after an Open that succeeded).
  int openError() const { return open_error_; }
  bool atEnd() const { return at_end; }
  long scanPosition() const { return position; }
  int columnCount() const { return column_count; }
  const char* headerText() const { return header_text; }

 private:
  // The field at the position, through the shared field scanner, into
  // `out` (nullptr: discarded); notes when it ran into the end of the file.
  FieldEnd collectField(char* out, LineKind kind);
  int effectiveFieldLimit() const;

  unsigned char* buffer;
  long size;
  long position;
  bool mapped_ = false;
  long released_ = 0;  // mapped bytes before this offset were given back
  bool at_end;
  bool is_open;
  int column_count;
  char header_text[kFieldTextBuffer];
  char field_text[kFieldTextBuffer];
  int max_fields;  // see SetFieldLimit
  bool out_of_memory = false;
  int open_error_ = 0;
};

class MdrWriter {
 public:
  // A line holds at most this many characters before its line feed.
  static constexpr int kMaxLineText = 20479;

  MdrWriter();
  // Does nothing: a writer is closed with Close before it is destroyed.
  ~MdrWriter() {}
  MdrWriter(const MdrWriter&) = delete;
  MdrWriter& operator=(const MdrWriter&) = delete;

  // Creates or empties the file at `path` for writing in text mode ("wt").
  bool Save(const char* path);
  // Opens the file at `path` in text mode for appending and reading ("at+"),
  // creating it if needed; every write goes to its end.
  bool Append(const char* path);
  // Closes the stream opened by Save or Append.
  void Close();
  // Writes `text` and one line feed in a single write. Text longer than
  // kMaxLineText characters is cut there: the line buffer has room for no
  // more, and a caller that respects the line limit never loses anything.
  void WriteLine(const char* text);

 private:
  std::FILE* stream;
};

// Fills the data of a file whose counts are known (phenotype_column from 1);
// names are buffers of kFieldTextBuffer characters. kExitOk, or
// kExitNoMemory / kExitBadInput when the file could not be loaded again
// (nothing is filled then; `open_error`, when given, gets the reason's errno).
int readCountedDataFile(const char* file_name, unsigned char* genotypes, unsigned char* phenotypes,
                        int sample_count, int column_count, int phenotype_column, char** marker_names,
                        int* open_error = nullptr);

#endif  // GORVA_IO_FILEIO_H
