// Rows of the --max-p listing spilled to a file in sorted runs and merged
// back: the listing order (equal keys by IG, as ranked by p), every field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/significance/sorted_row_spill.h"

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

}  // namespace
