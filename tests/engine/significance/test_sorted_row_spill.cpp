// Rows of the --max-p listing spilled to a file in sorted runs and merged
// back: the listing order (equal keys by IG, as ranked by p), every field.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/significance/sorted_row_spill.h"
#include "support/run_program.h"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

TEST(SortedRowSpill, MergesSpilledRunsInListingOrder) {
  SortedRowSpill spill(2, EqualKeys::kLargerGainFirst, 0, 4);
  std::vector<SignificanceRow> rows;
  for (int i = 0; i < 30; ++i) {
    SignificanceRow row;
    row.markers = {(i * 7) % 30, 30 + i};
    row.key = (i * 11) % 5;  // many ties
    row.ig = i % 3, row.rig = i + 0.5, row.synergy = -i, row.p_chisq = 1e-300 * i;
    row.p_bonferroni = i, row.p_interaction = kNA, row.cases = i, row.controls = 2 * i, row.df = i % 9;
    rows.push_back(row);
    ASSERT_TRUE(spill.add(row));
  }
  EXPECT_GT(spill.runsOnFile(), 5);
  std::sort(rows.begin(), rows.end(), [](const SignificanceRow& a, const SignificanceRow& b) {
    if (a.key != b.key) return a.key > b.key;
    return a.ig != b.ig ? a.ig > b.ig : a.markers < b.markers;
  });
  std::size_t next = 0;
  ASSERT_TRUE(spill.forEach([&](const SignificanceRow& row) {
    EXPECT_EQ(row.markers, rows[next].markers);
    EXPECT_EQ(row.key, rows[next].key);
    EXPECT_EQ(row.ig, rows[next].ig);
    EXPECT_EQ(row.p_chisq, rows[next].p_chisq);
    EXPECT_EQ(row.controls, rows[next].controls);
    EXPECT_TRUE(std::isnan(row.p_interaction));
    ++next;
    return true;
  })) << spill.error();
  EXPECT_EQ(next, rows.size());
}

// The spill file never has a name in $TMPDIR, not even for the moment
// between making it and unlinking it, when a signal that ends the run left
// it behind: what the process holds open there reads as a nameless file.
// A $TMPDIR that cannot hold it is told by its folder.
TEST(SortedRowSpill, TheFileHasNoNameAndAnUnusableFolderIsTold) {
  const std::string folder = makeTempDir();
  const char* before = std::getenv("TMPDIR");
  const std::string saved = before != nullptr ? before : "";
  setenv("TMPDIR", folder.c_str(), 1);
  SortedRowSpill spill(1, EqualKeys::kLargerGainFirst, 0, 2);
  for (int i = 0; i < 5; ++i) {
    SignificanceRow row;
    row.markers = {i};
    ASSERT_TRUE(spill.add(row)) << spill.error();
  }
  ASSERT_GT(spill.runsOnFile(), 0);
  std::vector<std::string> held;
  DIR* descriptors = opendir("/proc/self/fd");
  while (const dirent* entry = descriptors != nullptr ? readdir(descriptors) : nullptr) {
    char target[PATH_MAX] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::string(target).rfind(folder + "/", 0) == 0)
      held.push_back(target);
  }
  if (descriptors != nullptr) closedir(descriptors);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].find("gorva-rows"), std::string::npos) << held[0];

  setenv("TMPDIR", (folder + "/none").c_str(), 1);
  SortedRowSpill nowhere(1, EqualKeys::kLargerGainFirst, 0, 1);
  SignificanceRow row;
  row.markers = {0};
  nowhere.add(row);
  EXPECT_FALSE(nowhere.add(row));
  EXPECT_EQ(nowhere.error(), folder + "/none (a nameless temporary file): cannot write the listed rows: No such file "
                                      "or directory");
  if (before != nullptr) setenv("TMPDIR", saved.c_str(), 1);
  else unsetenv("TMPDIR");
}

}  // namespace
