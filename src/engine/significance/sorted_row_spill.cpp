#include "engine/significance/sorted_row_spill.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <queue>

#include "io/temporary_files.h"

namespace {

constexpr int kIntsPerRow = 3;     // cases, controls, df
constexpr int kDoublesPerRow = 9;  // ig, rig, key, synergy, p_chisq, p_bonferroni, p_interaction and their logs
// Records read from a run at a time while merging.
constexpr long long kReadAheadRows = 256;

}  // namespace

bool listedBefore(const SignificanceRow& a, const SignificanceRow& b, EqualKeys ties) {
  if (ranksAbove(a.key, a.ig, b.key, b.ig, ties)) return true;
  if (ranksAbove(b.key, b.ig, a.key, a.ig, ties)) return false;
  return a.markers < b.markers;
}

SortedRowSpill::SortedRowSpill(int order, EqualKeys ties, int cell_ints, std::size_t rows_in_memory)
    : order_(order), ties_(ties), cell_ints_(cell_ints), capacity_(rows_in_memory > 0 ? rows_in_memory : 1) {}

SortedRowSpill::~SortedRowSpill() {
  if (fd_ >= 0) close(fd_);
}

void SortedRowSpill::sortBuffer() {
  std::sort(buffer_.begin(), buffer_.end(),
            [this](const SignificanceRow& a, const SignificanceRow& b) { return listedBefore(a, b, ties_); });
}

std::size_t SortedRowSpill::recordBytes() const {
  return sizeof(int) * (order_ + kIntsPerRow + cell_ints_) + sizeof(double) * kDoublesPerRow;
}

void SortedRowSpill::encode(const SignificanceRow& row, char* out) const {
  const int ints[kIntsPerRow] = {row.cases, row.controls, row.df};
  const double doubles[kDoublesPerRow] = {row.ig,      row.rig,          row.key,          row.synergy,
                                          row.p_chisq, row.p_bonferroni, row.p_interaction,
                                          row.log_p_chisq, row.log_p_interaction};
  std::memcpy(out, row.markers.data(), sizeof(int) * order_);
  out += sizeof(int) * order_;
  std::memcpy(out, ints, sizeof ints);
  std::memcpy(out + sizeof ints, doubles, sizeof doubles);
  out += sizeof ints + sizeof doubles;
  if (cell_ints_ > 0 && static_cast<int>(row.cells.size()) == cell_ints_)
    std::memcpy(out, row.cells.data(), sizeof(int) * cell_ints_);
}

void SortedRowSpill::decode(const char* in, SignificanceRow& row) const {
  int ints[kIntsPerRow];
  double doubles[kDoublesPerRow];
  row.markers.resize(order_);
  std::memcpy(row.markers.data(), in, sizeof(int) * order_);
  in += sizeof(int) * order_;
  std::memcpy(ints, in, sizeof ints);
  std::memcpy(doubles, in + sizeof ints, sizeof doubles);
  in += sizeof ints + sizeof doubles;
  row.cells.resize(cell_ints_);
  if (cell_ints_ > 0) std::memcpy(row.cells.data(), in, sizeof(int) * cell_ints_);
  row.cases = ints[0];
  row.controls = ints[1];
  row.df = ints[2];
  row.ig = doubles[0];
  row.rig = doubles[1];
  row.key = doubles[2];
  row.synergy = doubles[3];
  row.p_chisq = doubles[4];
  row.p_bonferroni = doubles[5];
  row.p_interaction = doubles[6];
  row.log_p_chisq = doubles[7];
  row.log_p_interaction = doubles[8];
}

bool SortedRowSpill::fail(const char* what, int error_number) {
  if (error_.empty()) {
    error_ = path_ + ": cannot " + what + " the listed rows: " + std::strerror(error_number);
  }
  return false;
}

bool SortedRowSpill::add(SignificanceRow row) {
  if (!error_.empty()) return false;
  buffer_.push_back(std::move(row));
  ++rows_;
  return buffer_.size() < capacity_ || spill();
}

bool SortedRowSpill::spill() {
  if (buffer_.empty()) return true;
  if (fd_ < 0) {
    fd_ = namelessTemporaryFile("gorva-rows");
    path_ = temporaryFolder() + " (a nameless temporary file)";
    if (fd_ < 0) return fail("write", errno);
  }
  sortBuffer();
  const std::size_t bytes = recordBytes();
  std::vector<char> block(bytes * buffer_.size());
  for (std::size_t r = 0; r < buffer_.size(); ++r) encode(buffer_[r], &block[r * bytes]);
  std::size_t written = 0;
  while (written < block.size()) {
    const ssize_t done = pwrite(fd_, block.data() + written, block.size() - written,
                                static_cast<off_t>(file_bytes_ + static_cast<long long>(written)));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return fail("write", done < 0 ? errno : ENOSPC);
    written += static_cast<std::size_t>(done);
  }
  runs_.push_back(Run{file_bytes_, static_cast<long long>(buffer_.size())});
  file_bytes_ += static_cast<long long>(block.size());
  buffer_.clear();
  return true;
}

bool SortedRowSpill::forEach(const std::function<bool(const SignificanceRow&)>& visit) {
  if (!error_.empty()) return false;
  if (runs_.empty()) {
    sortBuffer();
    for (const SignificanceRow& row : buffer_) {
      if (!visit(row)) break;
    }
    return true;
  }
  if (!spill()) return false;
  // Each run read a block at a time; the heads merged through a heap.
  struct Cursor {
    Run left;  // rows not read yet
    std::vector<SignificanceRow> rows;
    std::size_t next = 0;
  };
  std::vector<Cursor> cursors(runs_.size());
  const std::size_t bytes = recordBytes();
  std::vector<char> block;
  auto refill = [&](Cursor& cursor) {
    const long long count = std::min(cursor.left.rows, kReadAheadRows);
    block.resize(bytes * static_cast<std::size_t>(count));
    std::size_t got = 0;
    while (got < block.size()) {
      const ssize_t done = pread(fd_, block.data() + got, block.size() - got,
                                 static_cast<off_t>(cursor.left.offset + static_cast<long long>(got)));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return fail("read", done < 0 ? errno : EIO);
      got += static_cast<std::size_t>(done);
    }
    cursor.rows.resize(static_cast<std::size_t>(count));
    for (long long r = 0; r < count; ++r) decode(&block[bytes * r], cursor.rows[r]);
    cursor.next = 0;
    cursor.left.offset += static_cast<long long>(block.size());
    cursor.left.rows -= count;
    return true;
  };
  auto later = [&](std::size_t a, std::size_t b) {
    return listedBefore(cursors[b].rows[cursors[b].next], cursors[a].rows[cursors[a].next], ties_);
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> heads(later);
  for (std::size_t c = 0; c < cursors.size(); ++c) {
    cursors[c].left = runs_[c];
    if (!refill(cursors[c])) return false;
    heads.push(c);
  }
  while (!heads.empty()) {
    const std::size_t c = heads.top();
    heads.pop();
    Cursor& cursor = cursors[c];
    if (!visit(cursor.rows[cursor.next])) return true;
    if (++cursor.next == cursor.rows.size()) {
      if (cursor.left.rows == 0) continue;
      if (!refill(cursor)) return false;
    }
    heads.push(c);
  }
  return true;
}
