// The best rows of one order: what a batch contributes and how batches merge.
#ifndef GORVA_ENGINE_RANK_BESTROWS_H
#define GORVA_ENGINE_RANK_BESTROWS_H

#include <vector>

// Rows ranked best first; each row is k marker indices, its measure pair
// (IG, RIG) and its ranking key.
struct RankedRows {
  int order = 0;
  std::vector<int> markers;
  std::vector<double> pairs;
  std::vector<double> keys;

  int size() const { return static_cast<int>(keys.size()); }
  void clear();
  void append(const int* combination, const double* pair, double key);
};

// A scored batch: `count` combinations of `order` markers, their measure
// pairs and keys, and sorted_index, which ranks the keys ascending as
// shellsortIndex left them.
struct SortedBatch {
  const int* combinations;
  int order;
  int count;
  const double* pairs;
  const double* keys;
  const int* sorted_index;
};

// The batch's best min(K, count) rows: the best row is the last sorted
// position, and of two equal keys the later position ranks first.
void takeBatchBest(const SortedBatch& batch, int K, RankedRows& best);

// What decides between rows of equal keys. Ranked by p_chisq, equal keys
// come from different tables (the same cells after pooling, a p of 1) and
// the larger IG goes first; otherwise, and between equal IGs too, the
// order the rows came in decides.
enum class EqualKeys { kKeepOrder, kLargerGainFirst };

// Whether a row of (key, IG) ranks strictly above another; an IG that is not
// a number ranks below every number.
bool ranksAbove(double key, double gain, double other_key, double other_gain, EqualKeys ties);

// Merges the rows of a later batch into the kept rows, keeping at most K.
// A batch row goes before a kept row only when it ranks strictly above it,
// so among rows of equal rank the row kept first stays first.
void mergeBest(RankedRows& kept, const RankedRows& batch, int K, EqualKeys ties);

#endif  // GORVA_ENGINE_RANK_BESTROWS_H
