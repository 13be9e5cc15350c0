#include "support/simd_paths.h"

#include <cstdio>
#include <cstdlib>
#include <string>

bool simdPathRequired(SimdPath path) {
  const char* value = std::getenv("GORVA_REQUIRE_SIMD");
  if (value == nullptr) return false;
  const std::string required = value;
  if (required == "avx512") return path != SimdPath::kScalar;
  if (required == "avx2") return path == SimdPath::kAvx2;
  return false;
}

namespace {

// Names, before the first test, the paths this run exercises and the ones it
// cannot; a required path the CPU lacks fails the whole run there.
class SimdPathsReport : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* value = std::getenv("GORVA_REQUIRE_SIMD");
    if (value != nullptr && std::string(value) != "avx2" && std::string(value) != "avx512")
      FAIL() << "GORVA_REQUIRE_SIMD=" << value << ": use avx2 or avx512";
    std::string ran, skipped;
    for (int p = 0; p < kSimdPathCount; ++p) {
      const auto path = static_cast<SimdPath>(p);
      std::string& list = simdPathSupported(path) ? ran : skipped;
      list += std::string(list.empty() ? "" : " ") + simdPathName(path);
      if (!simdPathSupported(path) && simdPathRequired(path))
        ADD_FAILURE() << simdPathName(path) << " is required (GORVA_REQUIRE_SIMD) but this CPU lacks it";
    }
    std::printf("SIMD paths tested: %s; skipped on this CPU: %s\n", ran.c_str(),
                skipped.empty() ? "none" : skipped.c_str());
  }
};

[[maybe_unused]] const auto* const kReport = ::testing::AddGlobalTestEnvironment(new SimdPathsReport);

}  // namespace
