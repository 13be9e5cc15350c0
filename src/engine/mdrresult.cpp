#include "engine/mdrresult.h"

#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <new>

namespace {

template <typename T>
T* zeroed(long count) {
  return new (std::nothrow) T[count > 0 ? count : 1]();
}

int decimalDigits(int value) {
  int digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

}  // namespace

int combinationTextCapacity(int max_order, int marker_count) {
  const long needed = 1L + static_cast<long>(std::max(max_order, 0)) *
                               (decimalDigits(std::max(marker_count, 1)) + 1) + 1;
  return static_cast<int>(std::max<long>(needed, kCombinationTextBytes));
}

MDRResult::MDRResult(int max_order_, int init_order_, int fold_count_, int fold_rows_,
                     int row_count_, int testing_method_, int aux_code_, int text_bytes)
    : max_order(max_order_),
      init_order(init_order_),
      fold_count(fold_count_),
      fold_rows(fold_rows_),
      row_count(row_count_),
      fold_pair_count(2 * fold_rows_),
      testing_method(testing_method_),
      aux_code(aux_code_),
      fold_measures(nullptr),
      fold_combinations(nullptr),
      fold_row_count(nullptr),
      snp_index(nullptr),
      p_value(nullptr),
      rig(nullptr),
      ig(nullptr),
      table_count_(std::max(1, fold_count_)),
      text_bytes_(std::max(text_bytes, kCombinationTextBytes)),
      allocated_(false) {
  const long rows = std::max(fold_rows, 0);
  const long capacity = std::max(row_count, 0);
  fold_measures = zeroed<double*>(table_count_);
  fold_combinations = zeroed<char**>(table_count_);
  fold_row_count = zeroed<int>(table_count_);
  snp_index = zeroed<int>((static_cast<long>(std::max(max_order, 0)) + 1) * capacity);
  p_value = zeroed<double>(capacity);
  rig = zeroed<double>(capacity);
  ig = zeroed<double>(capacity);
  bool ok = fold_measures && fold_combinations && fold_row_count && snp_index && p_value && rig && ig;
  for (int f = 0; ok && f < table_count_; ++f) {
    fold_measures[f] = zeroed<double>(2 * rows);
    fold_combinations[f] = zeroed<char*>(rows);
    ok = fold_measures[f] && fold_combinations[f];
    for (long r = 0; ok && r < rows; ++r) {
      fold_combinations[f][r] = zeroed<char>(text_bytes_);
      ok = fold_combinations[f][r] != nullptr;
    }
  }
  allocated_ = ok;
}

MDRResult::~MDRResult() {
  for (int f = 0; f < table_count_; ++f) {
    if (fold_measures) delete[] fold_measures[f];
    if (fold_combinations && fold_combinations[f]) {
      for (int r = 0; r < std::max(fold_rows, 0); ++r) delete[] fold_combinations[f][r];
      delete[] fold_combinations[f];
    }
  }
  delete[] fold_measures;
  delete[] fold_combinations;
  delete[] fold_row_count;
  delete[] snp_index;
  delete[] p_value;
  delete[] rig;
  delete[] ig;
}

int combinationTextMarker(const char* text, int position) {
  const char* field = text;
  for (int commas = 0; commas < position; ++commas) {
    field = std::strchr(field, ',');
    if (field == nullptr) return 0;
    ++field;
  }
  return std::atoi(field);
}
