// Where a scorer offers the combinations that may belong to a listing of
// every combination within a p-value bound. The listing is built after the
// ranking, by the significance stage, which implements this; the scorers
// see only these three calls.
#ifndef GORVA_ENGINE_RANK_LISTING_SINK_H
#define GORVA_ENGINE_RANK_LISTING_SINK_H

class ListingSink {
 public:
  virtual ~ListingSink() = default;
  // No table of the search has an IG below this and qualifies.
  virtual double floor() const = 0;
  // Whether a count table (2 * cells ints, controls and cases per cell)
  // whose IG is at most `ig_upper` can qualify.
  virtual bool mayQualify(const int* table, int cells, double ig_upper) const = 0;
  // Takes a combination with its measure pair and ranking key. Safe from
  // several threads at once.
  virtual void offer(const int* combination, const double* pair, double key) = 0;
};

#endif  // GORVA_ENGINE_RANK_LISTING_SINK_H
