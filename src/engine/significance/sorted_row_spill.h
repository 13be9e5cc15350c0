// Rows of one order kept in the order a listing shows them (ranking key
// descending, equal keys by IG where the ranking says so, then in
// enumeration order), without holding them all:
// full buffers are sorted and written as runs to an unlinked temporary file
// ($TMPDIR, else /tmp), and the runs are merged when read back.
#ifndef GORVA_ENGINE_SIGNIFICANCE_SORTED_ROW_SPILL_H
#define GORVA_ENGINE_SIGNIFICANCE_SORTED_ROW_SPILL_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "engine/rank/bestrows.h"
#include "engine/significance/significance.h"

// Whether `a` is listed before `b`: the row that ranks above (ranksAbove);
// of rows ranked alike the combination that comes first in the
// lexicographic sequence.
bool listedBefore(const SignificanceRow& a, const SignificanceRow& b, EqualKeys ties);

class SortedRowSpill {
 public:
  // Rows of `order` markers; at most `rows_in_memory` (at least 1) are held
  // before a run goes to the file.
  // Rows of `order` markers whose tables hold `cell_ints` counts.
  SortedRowSpill(int order, EqualKeys ties, int cell_ints, std::size_t rows_in_memory = kDefaultRowsInMemory);
  ~SortedRowSpill();
  SortedRowSpill(const SortedRowSpill&) = delete;
  SortedRowSpill& operator=(const SortedRowSpill&) = delete;

  // False (and error()) when a run could not be written; later rows are
  // then dropped.
  bool add(SignificanceRow row);
  // Every row, in listing order, until visit returns false; false (and
  // error()) when the file could not be read back.
  bool forEach(const std::function<bool(const SignificanceRow&)>& visit);

  long long size() const { return rows_; }
  int runsOnFile() const { return static_cast<int>(runs_.size()); }
  // "PATH: cannot write|read the listed rows: REASON", else empty.
  const std::string& error() const { return error_; }

  static constexpr std::size_t kDefaultRowsInMemory = 1 << 15;

 private:
  struct Run {
    long long offset = 0;  // bytes into the file
    long long rows = 0;
  };

  bool spill();
  void sortBuffer();
  bool fail(const char* what, int error_number);
  std::size_t recordBytes() const;
  void encode(const SignificanceRow& row, char* out) const;
  void decode(const char* in, SignificanceRow& row) const;

  int order_;
  EqualKeys ties_;
  int cell_ints_;
  std::size_t capacity_;
  std::vector<SignificanceRow> buffer_;
  std::vector<Run> runs_;
  long long file_bytes_ = 0;
  long long rows_ = 0;
  int fd_ = -1;
  std::string path_;
  std::string error_;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_SORTED_ROW_SPILL_H
