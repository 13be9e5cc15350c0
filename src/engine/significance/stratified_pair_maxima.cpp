#include "engine/significance/stratified_pair_maxima.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <numbers>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/path_kernels.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/count/unrank.h"
#include "engine/count/worker_threads.h"
#include "engine/rank/p_value_keys.h"
#include "engine/rank/table_test.h"
#include "engine/search/strata.h"
#include "engine/significance/counted_pair_screen.h"
#include "engine/significance/permuted_classes.h"

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
// Far above the rounding of a difference of a few gains of a few bits.
constexpr double kScreenSlack = 1e-9;
// How far a RIG worked out in doubles may lie above the true one: its
// IG's drift (boundFloor, about 1e-12) over H(Y | S), which is at least
// 2 bits over the run's N < 2^24 samples where any stratum holds both
// classes, so below 1e-5.
constexpr double kRigSlack = 1e-4;
// The joint walk closes every segment's sums at its end, whatever its
// length: counted classes halve a segment's words but not the segments.
// Measured on W2-like data (2,000 samples, CPU time of one permutation
// against the joint walk's): with the tables assembled and chord-bounded,
// 0.79 times on 2 strata, 0.90 on 4, about 1.09 on 8 (strata of 250
// samples, counted segments of about two words); screened from the counts
// on AVX-512, about 0.6 on 8 strata of 250 and 0.7 on 16 of 125 (AVX2's
// screen is the same in eight lanes).
constexpr int kMaxCountedRowStrata = 4;
constexpr int kMinCountedRowSamples = 250;
constexpr int kMaxScreenedRowStrata = 16;
constexpr int kMinScreenedRowSamples = 100;
// Runs of pairs (sharing their first marker) a block holds: the second
// markers' rows of every pair of permutations are read once per block from
// memory, then from cache for the block's other runs.
constexpr long kRunsPerBlock = 32;
constexpr int kBlocksPerWorker = 8;
// Bytes of one pair of permutations' rows a stretch of second markers spans.
constexpr long kStretchBytes = 64 * 1024;
constexpr int kWholePair = kWholePairCounts;

struct PairPermuted {
  int index = 0;  // in the group
  SearchContext context;
  StrataParts parts;
  std::vector<double> single_gains;
  // The gains rounded down to floats, padded for the screen's loads.
  std::vector<float> gains_below;
  std::atomic<double> maximum{kMinusInfinity};

  void raise(double key) {
    double seen = maximum.load(std::memory_order_relaxed);
    while (key > seen && !maximum.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  }
};

// Two permutations' counted classes in every stratum (the second may be the
// first again, when the group's count is odd), as joint rows.
struct CountedRows {
  PairPermuted* members[2] = {nullptr, nullptr};
  SegmentedPlanes rows;
};

void preparePermutation(const SearchContext& context, const unsigned char* phenotype, PairPermuted& own) {
  preparePermutedStrata(context, phenotype, own.context, own.parts);
}

// Per stratum, the class counted: the smaller, which no shuffle within the
// stratum changes.
std::vector<int> countedClasses(const SearchContext& context) {
  std::vector<int> counted;
  for (const SearchContext& part : context.strata->contexts) counted.push_back(part.cases <= part.controls ? 1 : 0);
  return counted;
}

// The joint rows of one pair of permutations, built stratum by stratum
// from planes of the counted samples (member 0 in the control words, 1 in
// the case words).
bool buildCountedRows(const SearchContext& context, const std::vector<int>& counted_class, int threads,
                      CountedRows& out) {
  const int strata = context.stratum_count;
  std::vector<std::unique_ptr<BitPlanes>> planes;
  std::vector<std::vector<int>> samples(strata);
  std::vector<std::vector<unsigned char>> entries(strata);
  std::vector<const BitPlanes*> pointers;
  std::vector<int> positions;
  for (int s = 0; s < strata; ++s) {
    for (int member = 0; member < 2; ++member) {
      const unsigned char* phenotype = out.members[member]->context.phenotypes;
      for (const int sample : context.strata->contexts[s].samples) {
        if ((phenotype[sample] == 1 ? 1 : 0) != counted_class[s]) continue;
        samples[s].push_back(sample);
        entries[s].push_back(static_cast<unsigned char>(member));
      }
    }
    const int length = static_cast<int>(samples[s].size());
    positions.resize(length);
    for (int v = 0; v < length; ++v) positions[v] = v;
    planes.push_back(std::make_unique<BitPlanes>());
    if (!planes.back()->prepare(context.marker_count, positions.data(), length, entries[s].data(), kPairLevels))
      return false;
    pointers.push_back(planes.back().get());
  }
  std::vector<PlanesAtSamples> targets;
  for (int s = 0; s < strata; ++s) targets.push_back({&samples[s], planes[s].get()});
  fillPlanesAtSamples(context, targets, threads);
  // Ranking by synergy: each member's single-marker gains, from these
  // planes' marginals beside the stratum's, scored as the stratified search
  // scores order 1.
  if (context.measure == kRankBySynergy) {
    std::vector<int> tables(static_cast<std::size_t>(strata) * 2 * kPairLevels);
    for (int member = 0; member < 2; ++member) {
      PairPermuted& own = *out.members[member];
      if (member == 1 && out.members[1] == out.members[0]) break;
      own.single_gains.assign(context.marker_count, 0.0);
      for (int m = 0; m < context.marker_count; ++m) {
        for (int s = 0; s < strata; ++s) {
          const int* run = context.strata->contexts[s].planes->marginals(m);
          const int* mine = planes[s]->marginals(m);
          const int c = counted_class[s];
          int* table = tables.data() + static_cast<long>(s) * 2 * kPairLevels;
          for (int l = 0; l < kPairLevels; ++l) {
            const int count = mine[2 * l + member];
            table[2 * l + c] = count;
            table[2 * l + 1 - c] = run[2 * l] + run[2 * l + 1] - count;
          }
        }
        double pair[2];
        stratifiedMeasurePair(own.parts, tables.data(), 2 * kPairLevels, pair);
        own.single_gains[m] = pair[0];
      }
      own.context.single_gains = own.single_gains.data();
      own.gains_below.assign(static_cast<std::size_t>(context.marker_count) + 2 * kScreenLanes, 0.0f);
      for (int m = 0; m < context.marker_count; ++m) own.gains_below[m] = floatAtOrBelow(own.single_gains[m]);
    }
  }
  return buildSegmentedPlanes(pointers, std::numeric_limits<double>::infinity(),
                              context.strata->segmented->nibbles, out.rows);
}

class PairMaximaWorker {
 public:
  PairMaximaWorker(const SearchContext& context, const std::vector<std::unique_ptr<CountedRows>>& sets,
                   const std::vector<int>& counted_class)
      : context_(context),
        sets_(sets),
        counted_class_(counted_class),
        strata_(context.stratum_count),
        kernels_(pathKernels(context.settings.simd)),
        screen_(countedPairScreen(context.settings.simd)) {
    for (int s = 0; s < strata_; ++s) {
      const SearchContext& part = context.strata->contexts[s];
      ChordBound chord;
      chord_bounded_.push_back(stratumChordBound(part, chord));
      chords_.push_back(chord);
      ScreenStratum stratum;
      const int counted = counted_class[s] == 1 ? part.cases : part.controls;
      const double fraction = roundedFraction(static_cast<double>(counted) / (part.cases + part.controls));
      const double factor = divergenceFactor(fraction);
      stratum.fraction = static_cast<float>(fraction);
      stratum.bounded = std::isfinite(factor);
      // Rounded up past the float sum's rounding, as the bound's vector
      // versions do.
      stratum.factor = stratum.bounded ? static_cast<float>(factor * kShiftedSumSlack * (1 + 0x1p-20)) : 0.0f;
      if (part.missing_code != kMethodAvailable) {
        stratum.fixed_samples = part.cases + part.controls;
        stratum.fixed_counted = counted;
        // n H(Y) in bits, lowered past its double roundings.
        const double cases = part.cases;
        const double controls = part.controls;
        const double n = cases + controls;
        stratum.spread = floatAtOrBelow(-(cases * std::log2(cases / n) + controls * std::log2(controls / n)) *
                                        (1 - 0x1p-40));
      }
      screen_strata_.push_back(stratum);
    }
    reaching_.resize(2 * sets.size());
    long group_words = context.strata->segmented->group_words;
    for (const auto& set : sets) group_words = std::max(group_words, set->rows.group_words);
    stretch_ = std::max(1L, kStretchBytes / (8 * std::max(1L, group_words))) * kPairLanes;
  }

  void scoreBlock(long long first_rank, int count) {
    int first[2];
    unrankCombination(first_rank, context_.marker_count, 2, first);
    runs_.clear();
    int a = first[0];
    int b = first[1];
    int low = b;
    for (int left = count; left > 0;) {
      const int n = std::min(left, context_.marker_count - b);
      runs_.push_back({a, b, b + n - 1});
      low = std::min(low, b);
      left -= n;
      ++a;
      b = a + 1;
    }
    for (int block = low / kPairLanes * kPairLanes; block < context_.marker_count; block += stretch_) {
      const int block_end = block + stretch_ - 1;
      for (const Run& run : runs_) {
        const int from = std::max(run.from, block);
        const int to = std::min(run.to, block_end);
        if (from <= to) scoreStretch(run.first, from, to - from + 1);
      }
    }
  }

 private:
  struct Run {
    int first, from, to;
  };

  void count(const SegmentedPlanes& rows, int first_marker, int base, int groups, std::vector<int>& out) {
    out.resize(static_cast<std::size_t>(strata_) * stratum_ints_);
    kernels_.segmented_pairs({.planes = &rows, .first = first_marker, .second_base = base, .groups = groups,
                              .counts = out.data(), .stratum_ints = stratum_ints_});
  }

  // Pairs (first_marker, from + j), j < n: the block's totals once, then
  // every pair of permutations' counted classes.
  void scoreStretch(int first_marker, int from, int n) {
    const int base = from / kPairLanes * kPairLanes;
    const int groups = (from + n - 1 - base) / kPairLanes + 1;
    const int pairs = groups * kPairLanes;
    stratum_ints_ = segmentedStratumInts(pairs);
    slots_ = (pairs + kPairBlock - 1) / kPairBlock * kPairBlock;
    count(*context_.strata->segmented, first_marker, base, groups, run_counts_);
    const int offset = from % kPairLanes;
    if (screen_ != nullptr) {
      prepareScreen(n, offset);
      for (const auto& set : sets_) {
        count(set->rows, first_marker, base, groups, set_counts_);
        for (int member = 0; member < 2; ++member) {
          if (member == 1 && set->members[1] == set->members[0]) break;
          screenMember(*set->members[member], member, first_marker, base, from, offset);
        }
      }
      return;
    }
    // Each stratum's cell totals, cell-major within each block of eight.
    const int blocks = slots_ / kPairBlock;
    const int cells = kWholePair / 2;
    totals_.resize(static_cast<std::size_t>(strata_) * blocks * cells * kPairBlock);
    for (int s = 0; s < strata_; ++s) {
      const int* in = run_counts_.data() + s * stratum_ints_;
      int* out = totals_.data() + static_cast<long>(s) * blocks * cells * kPairBlock;
      for (int k = 0; k < blocks; ++k)
        for (int e = 0; e < cells; ++e)
          for (int t = 0; t < kPairBlock; ++t)
            out[(k * cells + e) * kPairBlock + t] = in[freeCountAt(kWholePair, k * kPairBlock + t, 2 * e)] +
                                                    in[freeCountAt(kWholePair, k * kPairBlock + t, 2 * e + 1)];
    }
    for (const auto& set : sets_) {
      count(set->rows, first_marker, base, groups, set_counts_);
      for (int member = 0; member < 2; ++member) {
        if (member == 1 && set->members[1] == set->members[0]) break;
        scoreMember(*set->members[member], member, first_marker, from, n, offset);
      }
    }
  }


  // The shared part of the screen: each stratum's cell totals of the
  // stretch, and which slots hold its pairs.
  void prepareScreen(int n, int offset) {
    screen_groups_ = (slots_ + kScreenLanes - 1) / kScreenLanes;
    const long cells = static_cast<long>(screen_groups_) * (kWholePair / 2) * kScreenLanes;
    screen_cells_.resize(strata_ * cells);
    screen_counts_.resize(strata_ * cells);
    screen_inverse_.resize(strata_ * cells);
    screen_samples_.resize(static_cast<std::size_t>(strata_) * screen_groups_ * kScreenLanes);
    for (int s = 0; s < strata_; ++s) {
      ScreenTotals& totals = screen_strata_[s].totals;
      totals.cells = screen_cells_.data() + s * cells;
      totals.counts = screen_counts_.data() + s * cells;
      totals.inverse = screen_inverse_.data() + s * cells;
      totals.samples = screen_samples_.data() + static_cast<long>(s) * screen_groups_ * kScreenLanes;
      screen_->prepare(run_counts_.data() + s * stratum_ints_, slots_, totals);
    }
    valid_.assign(screen_groups_, 0);
    for (int slot = 0; slot < slots_; ++slot) {
      const int j = pairAt(slot, offset);
      if (static_cast<unsigned>(j) < static_cast<unsigned>(n))
        valid_[slot / kScreenLanes] |= static_cast<std::uint16_t>(1u << (slot % kScreenLanes));
    }
    screen_bounds_.resize(static_cast<std::size_t>(screen_groups_) * kScreenLanes);
    kept_.resize(screen_groups_);
    slot_gains_.resize(static_cast<std::size_t>(screen_groups_) * kScreenLanes);
  }

  // The pair of the stretch (from its first, `offset` into a group of four)
  // at a slot: segmentedPairSlot's inverse.
  static int pairAt(int slot, int offset) {
    return slot / kPairBlock * kPairBlock + 4 * (slot % 2) + slot % kPairBlock / 2 - offset;
  }

  // One permutation's pairs of the stretch screened from its counted
  // classes' counts; only the pairs kept get tables and exact keys.
  void screenMember(PairPermuted& own, int member, int first_marker, int base, int from, int offset) {
    const int measure = own.context.measure;
    double maximum = own.maximum.load(std::memory_order_relaxed);
    const double first_gain = measure == kRankBySynergy ? own.single_gains[first_marker] : 0;
    for (int s = 0; s < strata_; ++s) screen_strata_[s].counted = set_counts_.data() + s * stratum_ints_;
    ScreenRequest request;
    request.strata = screen_strata_.data();
    request.stratum_count = strata_;
    request.member = member;
    request.slots = slots_;
    request.statistic = measure == kRankByP;
    request.relative = measure == kRankByRIG;
    if (measure == kRankByP) {
      request.threshold = floatAtOrBelow(reachingCut(own, maximum, 1));
    } else if (measure == kRankByRIG) {
      request.threshold = floatAtOrBelow(maximum - kRigSlack);
    } else {
      request.threshold = floatAtOrBelow(maximum - kScreenSlack - boundFloor(kWholePair / 2) + first_gain);
    }
    if (measure == kRankBySynergy) {
      screen_->order(own.gains_below.data(), base, slots_, slot_gains_.data());
      request.add = slot_gains_.data();
    }
    request.valid = valid_.data();
    request.bounds = screen_bounds_.data();
    request.kept = kept_.data();
    screen_->screen(request);
    gathered_.resize(static_cast<std::size_t>(strata_) * kWholePair);
    for (int g = 0; g < screen_groups_; ++g) {
      for (unsigned kept = kept_[g]; kept != 0; kept &= kept - 1) {
        const int slot = g * kScreenLanes + __builtin_ctz(kept);
        const int second = from + pairAt(slot, offset);
        const double bound = screen_bounds_[slot];
        if (measure == kRankByP) {
          if (bound < reachingCut(own, maximum, 1)) continue;
        } else if (measure == kRankByRIG) {
          if (!(bound + kRigSlack >= maximum)) continue;
        } else {
          double key_bound = bound + boundFloor(kWholePair / 2);
          if (measure == kRankBySynergy) key_bound -= first_gain + own.single_gains[second];
          if (!(key_bound + kScreenSlack >= maximum)) continue;
        }
        gatherCounted(member, slot);
        if (measure == kRankByP) {
          offerPValue(own, bound, maximum);
          continue;
        }
        const int combination[2] = {first_marker, second};
        offerMeasured(own, combination, maximum);
      }
    }
  }

  // The strata's tables of one slot of the member: its counted class
  // beside the stratum's cell totals less it.
  void gatherCounted(int member, int slot) {
    const int group = slot / kScreenLanes;
    const int lane = slot % kScreenLanes;
    for (int s = 0; s < strata_; ++s) {
      const int* counted = set_counts_.data() + s * stratum_ints_;
      const int* cells = screen_strata_[s].totals.cells;
      const int own_class = counted_class_[s];
      int* table = gathered_.data() + s * kWholePair;
      for (int e = 0; e < kWholePair / 2; ++e) {
        const int mine = counted[freeCountAt(kWholePair, slot, 2 * e + member)];
        table[2 * e + own_class] = mine;
        table[2 * e + 1 - own_class] = cells[(group * (kWholePair / 2) + e) * kScreenLanes + lane] - mine;
      }
    }
  }

  // What the unpooled G must reach (its shortfall cut) for a table with
  // at least `df` degrees of freedom to beat the permutation's maximum.
  double reachingCut(const PairPermuted& own, double maximum, int df) {
    Reaching& reaching = reaching_[own.index];
    if (!(reaching.key == maximum)) {
      reaching.key = maximum;
      reaching.cuts.assign(2, std::numeric_limits<double>::quiet_NaN());
    }
    if (df >= static_cast<int>(reaching.cuts.size()))
      reaching.cuts.resize(df + 1, std::numeric_limits<double>::quiet_NaN());
    if (std::isnan(reaching.cuts[df])) reaching.cuts[df] = shortfallCut(statisticReachingKey(maximum, df));
    return reaching.cuts[df];
  }

  // Ranking by p: the key of the strata's tables in gathered_, whose
  // unpooled G is at most `statistic`, tested only when neither that (on
  // the fewest degrees of freedom their test can have) nor the bound of
  // their test's statistic (pooled, no logarithm, on its own) leaves it
  // short of the maximum.
  void offerPValue(PairPermuted& own, double statistic, double& maximum) {
    const int fewest = strataDfAtLeast(gathered_.data(), strata_, kWholePair / 2);
    if (statistic < reachingCut(own, maximum, std::max(1, fewest))) return;
    const StrataTestBound upper = kernels_.strata_test_bound(gathered_.data(), strata_, kWholePair / 2);
    if (upper.df < 1 || upper.statistic < reachingCut(own, maximum, upper.df)) return;
    // The tail only for a statistic that may reach the maximum on its own
    // degrees of freedom.
    const TableTest test = associationStatistic(gathered_.data(), strata_, kWholePair / 2);
    if (test.statistic < reachingCut(own, maximum, test.df)) return;
    const double key = pValueKey(test);
    offerKey(own, std::isnan(key) ? kMinusInfinity : key, maximum);
  }

  // The exact measures of the strata's tables in gathered_.
  void offerMeasured(PairPermuted& own, const int* combination, double& maximum) {
    double pair[2];
    stratifiedMeasurePair(own.parts, gathered_.data(), kWholePair, pair);
    offerKey(own, rankingKey(own.context, pair, combination, 2), maximum);
  }

  static void offerKey(PairPermuted& own, double key, double& maximum) {
    if (key > maximum) {
      own.raise(key);
      maximum = own.maximum.load(std::memory_order_relaxed);
    }
  }

  struct Reaching {
    double key = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> cuts;
  };

  // One permutation's tables of the stretch, their strata's bounds summed
  // as the conditional IG sums their gains, and the exact key of each pair
  // whose bound may beat the permutation's maximum.
  void scoreMember(PairPermuted& own, int member, int first_marker, int from, int n, int offset) {
    const int blocks = slots_ / kPairBlock;
    const int cells = kWholePair / 2;
    tables_.resize(static_cast<std::size_t>(strata_) * stratum_ints_);
    for (int s = 0; s < strata_; ++s) {
      const int* counted = set_counts_.data() + s * stratum_ints_;
      const int* totals = totals_.data() + static_cast<long>(s) * blocks * cells * kPairBlock;
      int* out = tables_.data() + s * stratum_ints_;
      const int own_class = counted_class_[s];
      for (int k = 0; k < blocks; ++k) {
        for (int e = 0; e < cells; ++e) {
          const int* mine = counted + freeCountAt(kWholePair, k * kPairBlock, 2 * e + member);
          const int* total = totals + (k * cells + e) * kPairBlock;
          int* own_cells = out + freeCountAt(kWholePair, k * kPairBlock, 2 * e + own_class);
          int* other_cells = out + freeCountAt(kWholePair, k * kPairBlock, 2 * e + 1 - own_class);
          for (int t = 0; t < kPairBlock; ++t) {
            own_cells[t] = mine[t];
            other_cells[t] = total[t] - mine[t];
          }
        }
      }
    }
    const long stride = slots_ + 8;
    bounds_.assign(static_cast<std::size_t>(strata_) * stride, std::numeric_limits<double>::infinity());
    samples_.resize(bounds_.size());
    informative_.resize(bounds_.size());
    for (int s = 0; s < strata_; ++s) {
      double* bounds = bounds_.data() + s * stride;
      kernels_.chord_bounds(tables_.data() + s * stratum_ints_, slots_, chords_[s], bounds,
                            samples_.data() + s * stride, informative_.data() + s * stride);
      if (!chord_bounded_[s]) std::fill_n(bounds, slots_, std::numeric_limits<double>::infinity());
      const SearchContext& part = own.parts.contexts[s];
      if (part.missing_code == kMethodAvailable) continue;
      // The measures take the stratum's totals, not the table's.
      std::fill_n(samples_.begin() + s * stride, slots_, part.cases + part.controls);
      std::fill_n(informative_.begin() + s * stride, slots_, part.cases > 0 && part.controls > 0 ? 1 : 0);
    }
    gain_bounds_.resize(slots_);
    if (own.context.measure != kRankByP)
      kernels_.conditional_bounds(bounds_.data(), samples_.data(), informative_.data(), stride, strata_, slots_,
                                gain_bounds_.data());
    const bool synergy = own.context.measure == kRankBySynergy;
    const bool by_p = own.context.measure == kRankByP;
    const double first_gain = synergy ? own.single_gains[first_marker] : 0;
    double maximum = own.maximum.load(std::memory_order_relaxed);
    gathered_.resize(static_cast<std::size_t>(strata_) * kWholePair);
    // Slots in order (segmentedPairSlot's inverse: slot t of a block of
    // eight holds its pair 4 (t % 2) + t / 2), most of them ruled out at
    // once. A bound that is not a number is ruled out too: no stratum
    // holds both classes, and the key is not a number either.
    for (int slot = 0; slot < slots_; ++slot) {
      const int j = slot / kPairBlock * kPairBlock + 4 * (slot % 2) + slot % kPairBlock / 2 - offset;
      if (static_cast<unsigned>(j) >= static_cast<unsigned>(n)) continue;
      const int combination[2] = {first_marker, from + j};
      if (by_p) {
        // The unpooled G of the strata's tables that hold both classes.
        double statistic = 0;
        for (int s = 0; s < strata_; ++s)
          if (informative_[s * stride + slot] != 0)
            statistic += 2 * std::numbers::ln2 * samples_[s * stride + slot] * bounds_[s * stride + slot];
        if (statistic < reachingCut(own, maximum, 1)) continue;
        for (int s = 0; s < strata_; ++s)
          wholePairTable(tables_.data() + s * stratum_ints_, slot, gathered_.data() + s * kWholePair);
        offerPValue(own, statistic, maximum);
        continue;
      }
      double bound = gain_bounds_[slot];
      if (synergy) bound -= first_gain + own.single_gains[from + j];
      if (!(bound + kScreenSlack >= maximum)) continue;
      for (int s = 0; s < strata_; ++s)
        wholePairTable(tables_.data() + s * stratum_ints_, slot, gathered_.data() + s * kWholePair);
      offerMeasured(own, combination, maximum);
    }
  }

  const SearchContext& context_;
  const std::vector<std::unique_ptr<CountedRows>>& sets_;
  const std::vector<int>& counted_class_;
  int strata_;
  const PathKernels& kernels_;
  const CountedPairScreen* screen_;
  std::vector<ScreenStratum> screen_strata_;
  int screen_groups_ = 0;
  std::vector<int> screen_cells_;
  std::vector<float> screen_counts_;
  std::vector<float> screen_inverse_;
  std::vector<int> screen_samples_;
  std::vector<std::uint16_t> valid_;
  std::vector<float> screen_bounds_;
  std::vector<std::uint16_t> kept_;
  std::vector<float> slot_gains_;
  std::vector<Reaching> reaching_;
  std::vector<ChordBound> chords_;
  std::vector<char> chord_bounded_;
  int stretch_ = kPairLanes;
  std::vector<Run> runs_;
  long stratum_ints_ = 0;
  int slots_ = 0;
  std::vector<int> run_counts_;
  std::vector<int> totals_;
  std::vector<int> set_counts_;
  std::vector<int> tables_;
  std::vector<double> bounds_;
  std::vector<int> samples_;
  std::vector<int> informative_;
  std::vector<double> gain_bounds_;
  std::vector<int> gathered_;
};

double groupSizeBytes(double marker_count, double sample_count, const std::vector<long long>& stratum_samples) {
  // A pair of permutations' rows, and its share of phenotypes, contexts and gains.
  return segmentedPlanesBytesBound(static_cast<long long>(marker_count), stratum_samples) / 2 +
         sample_count * (1 + sizeof(int)) + stratum_samples.size() * sizeof(SearchContext) +
         marker_count * sizeof(double);
}

int groupSize(double marker_count, double sample_count, const std::vector<long long>& stratum_samples,
              int permutations) {
  const double each = groupSizeBytes(marker_count, sample_count, stratum_samples);
  int group = std::max(1, std::min(kMaxGroupPermutations, permutations));
  while (group > 1 && group * each > kGroupBytes) --group;
  return group;
}

std::vector<long long> stratumSamples(const SearchContext& context) {
  std::vector<long long> samples;
  for (const SearchContext& part : context.strata->contexts) samples.push_back(static_cast<long long>(part.samples.size()));
  return samples;
}

}  // namespace

void preparePermutedStrata(const SearchContext& context, const unsigned char* phenotype, SearchContext& own,
                           StrataParts& parts) {
  permutedContext(context, phenotype, own);
  // The strata's contexts alone: their measures need no planes.
  SearchContext bare = own;
  bare.planes = nullptr;
  bare.strata = nullptr;
  splitByStrata(bare, 1, parts);
  own.strata = &parts;
}

bool stratifiedPairsServe(const SearchContext& context, int order) {
  if (order != 2 || context.strata == nullptr || context.strata->segmented == nullptr || !context.settings.use_planes ||
      context.missing_code == kMethodEm || context.marker_count < 2 ||
      (context.measure != kRankByIG && context.measure != kRankBySynergy && context.measure != kRankByP &&
       (context.measure != kRankByRIG || countedPairScreen(context.settings.simd) == nullptr)) ||
      context.strata->segmented->nibbles != pathKernels(context.settings.simd).segmented_nibbles ||
      context.N >= kSinglePrecisionTotal || context.stratum_count < 1 ||
      static_cast<int>(context.strata->contexts.size()) != context.stratum_count)
    return false;
  const bool screened = countedPairScreen(context.settings.simd) != nullptr;
  if (context.stratum_count > (screened ? kMaxScreenedRowStrata : kMaxCountedRowStrata) ||
      context.sample_count <
          static_cast<long long>(screened ? kMinScreenedRowSamples : kMinCountedRowSamples) * context.stratum_count)
    return false;
  for (const SearchContext& part : context.strata->contexts)
    if (part.planes == nullptr || part.planes->levels() != kPairLevels || part.cases < 1 || part.controls < 1)
      return false;
  return true;
}

bool countsStratifiedPairsFromCountedRows(const SearchContext& context, int order, int permutations) {
  return stratifiedPairsServe(context, order) &&
         std::min(stratifiedPairGroupSize(context, permutations), permutations) >= kMinGroupPermutations;
}

int stratifiedPairGroupSize(const SearchContext& context, int permutations) {
  return groupSize(context.marker_count, context.sample_count, stratumSamples(context), permutations);
}

double stratifiedPairMaximaBytesBound(double marker_count, double sample_count,
                                      const std::vector<long long>& stratum_samples, int workers, int permutations) {
  if (permutations < 1 || stratum_samples.empty()) return 0;
  const int group = groupSize(marker_count, sample_count, stratum_samples, permutations);
  const double strata = static_cast<double>(stratum_samples.size());
  // One stratum's planes while a pair's rows are built, at most all samples.
  const double building = BitPlanes::bytesBound(static_cast<long long>(marker_count),
                                                static_cast<long long>(sample_count), kPairLevels, 1) +
                          sample_count * (2 * sizeof(int) + 1);
  // Per worker, a stretch of pairs: counts, totals and tables of every
  // stratum, their bounds.
  const double stretch = static_cast<double>(kStretchBytes) / 8 + 2 * kPairBlock;
  const double worker = strata * stretch * (4 * kWholePair * sizeof(int) + 3 * sizeof(double)) +
                        kRunsPerBlock * sizeof(int) * 3;
  return (group + 1) * groupSizeBytes(marker_count, sample_count, stratum_samples) + group * sample_count +
         building + 2 * kDecodedPlaneMarkers * sample_count + workers * worker;
}

bool stratifiedPairMaxima(const SearchContext& context, const std::vector<std::vector<unsigned char>>& phenotypes,
                          std::vector<double>& maxima) {
  const int workers = workerCount(context.settings.requested_threads);
  const int count = static_cast<int>(phenotypes.size());
  maxima.assign(count, kMinusInfinity);
  const std::vector<int> counted_class = countedClasses(context);
  std::vector<std::unique_ptr<PairPermuted>> group;
  std::vector<std::unique_ptr<CountedRows>> sets;
  try {
    for (int r = 0; r < count; ++r) {
      group.push_back(std::make_unique<PairPermuted>());
      group.back()->index = r;
      preparePermutation(context, phenotypes[r].data(), *group.back());
    }
    for (int r = 0; r < count; r += 2) {
      sets.push_back(std::make_unique<CountedRows>());
      sets.back()->members[0] = group[r].get();
      sets.back()->members[1] = group[std::min(r + 1, count - 1)].get();
      if (!buildCountedRows(context, counted_class, workers, *sets.back())) return false;
      if (stopRequested(context)) return false;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  const long long total = combinationCount(context.marker_count, 2);
  const long long spread = (total + kBlocksPerWorker * workers - 1) / (kBlocksPerWorker * workers);
  const long long runs = static_cast<long long>(kRunsPerBlock * (context.marker_count / 2.0 + 1));
  const long long block = std::max(1LL, std::min(runs, spread));
  const auto make_worker = [&] { return PairMaximaWorker(context, sets, counted_class); };
  if (!scoreBlocksOnWorkers(context, total, block, workers, make_worker)) return false;
  for (int r = 0; r < count; ++r) maxima[r] = group[r]->maximum.load();
  return true;
}
