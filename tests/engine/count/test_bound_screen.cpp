// The screen's skip over ruled-out bounds: every path stops where a plain
// loop does, at any start, length and position of the first bound that
// passes, NaN bounds included.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "support/simd_paths.h"

namespace {

class BoundScreenPaths : public ::testing::TestWithParam<SimdPath> {};

TEST_P(BoundScreenPaths, StopsAtTheFirstBoundNotBelowThePass) {
  const SimdPath path = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  const NextReaching next = pathKernels(path).next_reaching;
  std::mt19937 random(7);
  const double pass = 0.5;
  for (int count = 0; count <= 41; ++count) {
    for (int stop = 0; stop <= count; ++stop) {
      for (const double reaching : {pass, 0.75, std::numeric_limits<double>::quiet_NaN()}) {
        std::vector<double> bounds(count);
        for (double& b : bounds) b = std::uniform_real_distribution<double>(0.0, pass)(random);
        if (stop < count) bounds[stop] = reaching;
        for (int from = 0; from <= stop; from += 3) {
          EXPECT_EQ(next(bounds.data(), from, count, pass), stop)
              << "count " << count << ", from " << from << ", bound " << reaching;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, BoundScreenPaths,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

}  // namespace
