#include "engine/rank/bestrows.h"

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

void mergeBest(RankedRows& kept, const RankedRows& batch, int K) {
  if (batch.size() == 0) return;
  RankedRows merged;
  merged.order = kept.order = batch.order;
  int a = 0;
  int b = 0;
  while (merged.size() < K && (a < kept.size() || b < batch.size())) {
    const bool take_batch =
        b < batch.size() && (a >= kept.size() || batch.keys[b] > kept.keys[a]);
    const RankedRows& from = take_batch ? batch : kept;
    const int row = take_batch ? b++ : a++;
    merged.append(&from.markers[static_cast<long>(row) * from.order], &from.pairs[2L * row],
                  from.keys[row]);
  }
  kept = std::move(merged);
}
