#include "engine/rank/bestrows.h"

#include <cmath>
#include <limits>

void RankedRows::clear() {
  markers.clear();
  pairs.clear();
  keys.clear();
}

void RankedRows::append(const int* combination, const double* pair, double key) {
  markers.insert(markers.end(), combination, combination + order);
  pairs.push_back(pair[0]);
  pairs.push_back(pair[1]);
  keys.push_back(key);
}

void takeBatchBest(const SortedBatch& batch, int K, RankedRows& best) {
  best.order = batch.order;
  best.clear();
  for (int j = 0; j < K && j < batch.count; ++j) {
    const int i = batch.sorted_index[batch.count - 1 - j];
    best.append(batch.combinations + static_cast<long>(i) * batch.order, batch.pairs + 2L * i, batch.keys[i]);
  }
}

bool ranksAbove(double key, double gain, double other_key, double other_gain, EqualKeys ties) {
  if (key != other_key || ties == EqualKeys::kKeepOrder) return key > other_key;
  constexpr double kLowest = -std::numeric_limits<double>::infinity();
  return (std::isnan(gain) ? kLowest : gain) > (std::isnan(other_gain) ? kLowest : other_gain);
}

void mergeBest(RankedRows& kept, const RankedRows& batch, int K, EqualKeys ties) {
  if (batch.size() == 0) return;
  RankedRows merged;
  merged.order = kept.order = batch.order;
  int a = 0;
  int b = 0;
  while (merged.size() < K && (a < kept.size() || b < batch.size())) {
    const bool take_batch =
        b < batch.size() && (a >= kept.size() || ranksAbove(batch.keys[b], batch.pairs[2L * b],
                                                             kept.keys[a], kept.pairs[2L * a], ties));
    const RankedRows& from = take_batch ? batch : kept;
    const int row = take_batch ? b++ : a++;
    merged.append(&from.markers[static_cast<long>(row) * from.order], &from.pairs[2L * row],
                  from.keys[row]);
  }
  kept = std::move(merged);
}
