#include "engine/rank/em_tables.h"

#include <algorithm>

#include "core/search_constants.h"

namespace {

constexpr int kEmLevels = 3;

}  // namespace

EmTables::EmTables(int order) : order_(order) {
  int cells = 1;
  for (int j = 0; j < order; ++j) cells *= kEmLevels;
  observed_.assign(2 * static_cast<std::size_t>(cells), 0);
  em_.assign(observed_.size(), 0);
  // Where each counted cell goes, worked out once: most tables are filled
  // millions of times and their cells never change place. An odometer over
  // the counted cells' digits (first marker fastest) keeps the entry of the
  // observed digits (missing ones at 0) alongside.
  int multipliers[32];
  fillTableMultipliers(kEmLevels, order_, multipliers);
  int digits[32] = {};
  int fixed = 0;
  int counted_cells = 1;
  for (int j = 0; j < order_; ++j) counted_cells *= kEmCountedLevels;
  places_.resize(counted_cells);
  for (int cell = 0; cell < counted_cells; ++cell) {
    CellPlace& place = places_[cell];
    place.fixed = fixed;
    place.first_missing = static_cast<int>(missing_.size());
    for (int j = 0; j < order_; ++j)
      if (digits[j] == kMissingCode) missing_.push_back(multipliers[j]);
    place.missing_count = static_cast<int>(missing_.size()) - place.first_missing;
    for (int j = 0; j < order_; ++j) {
      if (digits[j] < kMissingCode) {
        ++digits[j];
        // A missing digit adds nothing to the observed entry.
        fixed += digits[j] < kMissingCode ? multipliers[j] : -(kMissingCode - 1) * multipliers[j];
        break;
      }
      digits[j] = 0;
    }
  }
}

void EmTables::fill(const int* counted) {
  std::fill(observed_.begin(), observed_.end(), 0);
  kinds_.clear();
  const int counted_cells = static_cast<int>(places_.size());
  for (int cell = 0; cell < counted_cells; ++cell) {
    const int controls = counted[2 * cell];
    const int cases = counted[2 * cell + 1];
    if (controls + cases == 0) continue;
    const CellPlace& place = places_[cell];
    if (place.missing_count == 0) {
      observed_[place.fixed] += controls;
      observed_[place.fixed + 1] += cases;
      continue;
    }
    if (controls > 0) kinds_.push_back(IncompleteKind{place.fixed, place.first_missing, place.missing_count, controls});
    if (cases > 0) kinds_.push_back(IncompleteKind{place.fixed + 1, place.first_missing, place.missing_count, cases});
  }
  std::copy(observed_.begin(), observed_.end(), em_.begin());
  if (!kinds_.empty())
    assignIncompleteKinds(kinds_.data(), static_cast<int>(kinds_.size()), missing_.data(), em_.data());
}
