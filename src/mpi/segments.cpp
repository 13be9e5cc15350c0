#include "mpi/segments.h"

#include <cmath>
#include <cstring>

bool sortedWithoutNaN(const RankedRows& rows, EqualKeys ties) {
  for (int i = 0; i < rows.size(); ++i) {
    if (std::isnan(rows.keys[i])) return false;
    if (i > 0 && ranksAbove(rows.keys[i], rows.pairs[2L * i], rows.keys[i - 1], rows.pairs[2L * i - 2], ties))
      return false;
  }
  return true;
}

void SegmentBuilder::add(const RankedRows& batch_best) {
  if (sortedWithoutNaN(batch_best, ties_)) {
    if (!run_open_) {
      run_ = RankedRows();
      run_.order = order_;
      run_open_ = true;
    }
    mergeBest(run_, batch_best, K_, ties_);
    return;
  }
  closeRun();
  segments_.push_back(batch_best);
}

void SegmentBuilder::closeRun() {
  if (!run_open_) return;
  segments_.push_back(std::move(run_));
  run_open_ = false;
}

std::vector<RankedRows> SegmentBuilder::finish() {
  closeRun();
  return std::move(segments_);
}

namespace {

template <typename T>
void put(std::vector<char>& bytes, const T* values, std::size_t count) {
  if (count == 0) return;
  const std::size_t at = bytes.size();
  bytes.resize(at + count * sizeof(T));
  std::memcpy(bytes.data() + at, values, count * sizeof(T));
}

template <typename T>
void take(const std::vector<char>& bytes, std::size_t& at, T* values, std::size_t count) {
  if (count == 0) return;
  std::memcpy(values, bytes.data() + at, count * sizeof(T));
  at += count * sizeof(T);
}

}  // namespace

std::vector<char> packSegments(int order, const std::vector<RankedRows>& segments) {
  std::vector<char> bytes;
  const int header[2] = {order, static_cast<int>(segments.size())};
  put(bytes, header, 2);
  for (const RankedRows& segment : segments) {
    const int rows = segment.size();
    put(bytes, &rows, 1);
    put(bytes, segment.markers.data(), segment.markers.size());
    put(bytes, segment.pairs.data(), segment.pairs.size());
    put(bytes, segment.keys.data(), segment.keys.size());
  }
  return bytes;
}

std::vector<RankedRows> unpackSegments(const std::vector<char>& bytes) {
  std::size_t at = 0;
  int header[2] = {0, 0};
  take(bytes, at, header, 2);
  std::vector<RankedRows> segments(header[1]);
  for (RankedRows& segment : segments) {
    int rows = 0;
    take(bytes, at, &rows, 1);
    segment.order = header[0];
    segment.markers.resize(static_cast<std::size_t>(rows) * header[0]);
    segment.pairs.resize(2 * static_cast<std::size_t>(rows));
    segment.keys.resize(rows);
    take(bytes, at, segment.markers.data(), segment.markers.size());
    take(bytes, at, segment.pairs.data(), segment.pairs.size());
    take(bytes, at, segment.keys.data(), segment.keys.size());
  }
  return segments;
}
