#include "engine/search/single_marker_gains.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "engine/search/strata.h"

std::vector<double> singleMarkerGains(const SearchContext& context) {
  const int markers = context.marker_count;
  std::vector<double> gains(markers, std::numeric_limits<double>::quiet_NaN());
  if (context.strata != nullptr) {
    std::vector<int> tables;
    for (int m = 0; m < markers; ++m) {
      countStratifiedTables(*context.strata, &m, 1, tables);
      double pair[2];
      stratifiedMeasurePair(*context.strata, tables.data(), static_cast<int>(tables.size()) / context.stratum_count,
                            pair);
      gains[m] = pair[0];
    }
    return gains;
  }
  // Codes seen only through a view are scored a block of copied columns at
  // a time.
  constexpr int kCopiedColumns = 256;
  const bool copied = context.genotypes == nullptr;
  const int block = copied ? kCopiedColumns : std::max(markers, 1);
  std::vector<int> combinations;
  std::vector<double> pairs;
  std::vector<unsigned char> own_bytes;
  for (int first = 0; first < markers; first += block) {
    int count = std::min(block, markers - first);
    combinations.resize(count);
    std::iota(combinations.begin(), combinations.end(), first);
    pairs.resize(2 * static_cast<std::size_t>(count));
    unsigned char* genotypes = context.genotypes;
    int marker_count = markers;
    if (copied) {
      own_bytes = contextColumns(context, combinations.data(), count);
      genotypes = own_bytes.data();
      marker_count = count;
      std::iota(combinations.begin(), combinations.end(), 0);
    }
    scorePlainly(context, genotypes, marker_count, {combinations.data(), 1, count}, pairs.data());
    for (int j = 0; j < count; ++j) gains[first + j] = pairs[2 * static_cast<std::size_t>(j)];
  }
  return gains;
}
