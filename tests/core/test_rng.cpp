// The process-wide MT19937: published reference outputs, and draw-for-draw
// agreement with the standard library's std::mt19937, an independent
// implementation of the same generator and seeding.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/gorva.h"

namespace {

std::vector<unsigned int> draws(int count) {
  std::vector<unsigned int> out;
  for (int i = 0; i < count; ++i) out.push_back(int32_rand());
  return out;
}

bool startsWithPublishedSeed5489Outputs(const std::vector<unsigned int>& seq) {
  return seq[0] == 3499211612u && seq[1] == 581869302u && seq[9999] == 4123659995u;
}

// Runs in a freshly started process (see below), where nothing has touched the
// generator yet. Exits 0 only if the unseeded sequence is the published one
// for seed 5489 and equals that of an explicit init_rng(5489).
[[noreturn]] void checkUnseededSequenceAndExit() {
  const std::vector<unsigned int> unseeded = draws(10000);
  init_rng(5489);
  const bool same = unseeded == draws(10000);
  const bool published = startsWithPublishedSeed5489Outputs(unseeded);
  if (!published || !same) std::fprintf(stderr, "published %d, same as 5489 %d\n", published, same);
  std::exit(published && same ? 0 : 1);
}

}  // namespace

TEST(RngTest, UnseededGeneratorStartsWithTheDefaultSeed) {
  // Other tests in this process have already drawn and seeded, so the
  // unseeded state is only visible in a re-executed child process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(checkUnseededSequenceAndExit(), ::testing::ExitedWithCode(0), "");
}

// Seed 5489's published outputs are checked in the child above, which
// compares them with an explicit init_rng(5489) as well.
TEST(RngTest, PublishedOutputsAndStdMt19937AcrossBlockBoundaries) {
  init_rng(0);
  EXPECT_EQ(int32_rand(), 2357136044u);
  for (unsigned long seed : {0ul, 1ul, 5489ul, 20240601ul, 0xffffffful}) {
    init_rng(seed);
    std::mt19937 reference(static_cast<std::mt19937::result_type>(seed));
    // 2000 draws cover three regenerations, including draws 624 / 625,
    // which straddle the first one.
    for (int i = 1; i <= 2000; ++i) {
      ASSERT_EQ(int32_rand(), reference()) << "seed " << seed << ", draw " << i;
    }
  }
}

TEST(RngTest, ReseedingRestartsTheSequenceAndUsesOnlyTheLow32Bits) {
  init_rng(77);
  const std::vector<unsigned int> first = draws(700);
  init_rng(77);
  EXPECT_EQ(draws(700), first);
  // Reseeding in the middle of a block restarts it as well.
  draws(300);
  init_rng(77);
  EXPECT_EQ(draws(700), first);
  init_rng(0x100000000ul + 77);
  EXPECT_EQ(draws(700), first);
}
