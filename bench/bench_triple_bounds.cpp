// The order-3 walk's bounds alone: each version of this CPU on one stretch of
// triples (2,000 samples, a balanced phenotype), the versions taking turns
// round by round so that the load of the shared cores falls on all alike;
// the best round of each, and its rate against the AVX2 version's.
#include <cstdio>
#include <random>
#include <vector>

#include "bench_support.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"

namespace {

constexpr int kSamples = 2000;
constexpr int kTriples = 4096;
constexpr int kRoom = 16;
constexpr int kPasses = 400;  // stretches a round
constexpr int kRounds = 9;

struct Stretch {
  std::vector<int> counts;
  std::vector<int> third_levels[4];
  std::vector<std::uint32_t> second_third, first_third;
  int prefix_rows[18] = {};
  int classes[2] = {};
  TripleBoundRequest request;
};

void markerGenotypes(std::mt19937& random, std::vector<int>& marker) {
  std::uniform_real_distribution<double> unit(0, 1);
  const double zero = 0.2 + 0.5 * unit(random), one = (1 - zero) * unit(random);
  marker.resize(kSamples);
  for (int& g : marker) {
    const double u = unit(random);
    g = u < zero ? 0 : u < zero + one ? 1 : 2;
  }
}

// Free counts, records and totals as the walk gives them.
void makeStretch(Stretch& s) {
  std::mt19937 random(11);
  std::vector<int> first, second, third, phenotype(kSamples);
  markerGenotypes(random, first);
  markerGenotypes(random, second);
  for (int i = 0; i < kSamples; ++i) phenotype[i] = i % 2;
  s.counts.assign((kTriples + kRoom) * kTripleCounts, 0);
  for (auto& level : s.third_levels) level.assign(kTriples + kRoom, 0);
  s.second_third.assign(8L * kTriples, 0);
  s.first_third.assign(8L * kTriples, 0);
  for (int i = 0; i < kSamples; ++i) {
    s.prefix_rows[2 * (first[i] + 3 * second[i]) + phenotype[i]] += 1;
    s.classes[phenotype[i]] += 1;
  }
  for (int p = 0; p < kTriples; ++p) {
    markerGenotypes(random, third);
    for (int i = 0; i < kSamples; ++i) {
      const int g0 = first[i], g1 = second[i], g2 = third[i], c = phenotype[i];
      if (g2 == 2) continue;
      ++s.third_levels[2 * g2 + c][p];
      if (g1 < 2) ++s.second_third[8L * p + 2 * (g1 + 2 * g2) + c];
      if (g0 < 2) ++s.first_third[8L * p + 2 * (g0 + 2 * g2) + c];
      if (g0 < 2 && g1 < 2) ++s.counts[freeCountAt(kTripleCounts, p, freeCount(4, g0 + 2 * g1, g2, c))];
    }
  }
  TripleBoundRequest& r = s.request;
  r.counts = s.counts.data();
  r.triples = kTriples;
  r.totals.prefix_rows = s.prefix_rows;
  for (int e = 0; e < 4; ++e) r.totals.third_levels[e] = s.third_levels[e].data();
  r.totals.second_third = s.second_third.data();
  r.totals.first_third = s.first_third.data();
  r.last = kTriples - 1;
  r.controls = s.classes[0];
  r.cases = s.classes[1];
  r.bound.cells = 27;
  r.bound.q = roundedFraction(0.5);
  r.bound.divergence_factor = divergenceFactor(r.bound.q);
}

}  // namespace

int main() {
  Stretch stretch;
  makeStretch(stretch);
  struct Version {
    const char* name;
    SimdPath path;
    TripleInformationGainBounds bounds;
    BestTimes best;
    double sum = 0;
  };
  std::vector<Version> versions = {{"scalar", SimdPath::kScalar, tripleInformationGainBoundsScalar, {}, 0},
                                   {"avx2", SimdPath::kAvx2, tripleInformationGainBoundsAvx2, {}, 0},
                                   {"avx512", SimdPath::kAvx512, tripleInformationGainBoundsAvx512, {}, 0}};
  std::erase_if(versions, [](const Version& v) { return !simdPathSupported(v.path); });
  std::vector<double> bounds(kTriples + kRoom);
  for (int round = 0; round < kRounds; ++round) {
    for (Version& v : versions) {
      const int passes = v.path == SimdPath::kScalar ? kPasses / 10 : kPasses;
      timeInto(v.best, [&] {
        for (int pass = 0; pass < passes; ++pass) {
          v.bounds(stretch.request, bounds.data());
          v.sum += bounds[pass % kTriples];  // keeps every pass
        }
      });
    }
  }
  std::printf("CPU: %s; %d triples a stretch, %d samples, best of %d rounds\n", cpuModel().c_str(), kTriples,
              kSamples, kRounds);
  double avx2_rate = 0;
  for (const Version& v : versions) {
    const double passes = v.path == SimdPath::kScalar ? kPasses / 10 : kPasses;
    const double rate = passes * kTriples / v.best.cpu_seconds;
    if (v.path == SimdPath::kAvx2) avx2_rate = rate;
    std::printf("  %-7s %10.3e triples/cpu-s  %6.2f ns a triple", v.name, rate, 1e9 / rate);
    if (avx2_rate > 0) std::printf("  x%.2f the avx2 rate", rate / avx2_rate);
    std::printf("  (check %.6g)\n", v.sum);
  }
  return 0;
}
