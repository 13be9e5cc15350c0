// setOptions on word lists: the defaults and the order text. The rules for
// every other option (first occurrence wins, word indices, --score over
// --type, switches, --perm) and the summary of the values in force are
// checked against a model of them on every input of the fuzz target
// tests/fuzz/fuzz_command_line.cpp, whose seeds hold each of those cases;
// the exact summary and command text are checked on the program's console
// and reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/helper.h"
#include "app/options.h"
#include "io/option_values.h"

namespace {

// Option globals are process-wide: every test starts from the defaults.
class Options : public ::testing::Test {
 protected:
  void SetUp() override { resetDefaults(); }
  void TearDown() override { resetDefaults(); }

  static void resetDefaults() {
    opt::input_file.clear();
    opt::output_file.clear();
    opt::score_file.clear();
    opt::order_str = "2";
    opt::init_order = opt::order = 2;
    opt::mdr_type = "mdr";
    opt::is_gmdr = 0;
    opt::tie = "high";
    opt::tie_idx = 0;
    opt::missing = "available";
    opt::missing_idx = 3;
    opt::shuffling_idx = 0;
    opt::shuffling = opt::debug = opt::save_all = false;
    opt::report_top_k = 10;
    opt::perm = 0;
    opt::testing_idx = 3;
    opt::all_opt.clear();
  }

  static void parse(std::vector<std::string> words) {
    words.insert(words.begin(), "gorva");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    CArgs args(static_cast<int>(argv.size()), argv.data());
    setOptions(args);
  }
};

TEST_F(Options, NoOptionsKeepsDefaults) {
  parse({});
  EXPECT_EQ(opt::all_opt, "gorva ");
  EXPECT_EQ(std::vector<int>({opt::init_order, opt::order, opt::missing_idx, opt::tie_idx,
                              opt::report_top_k, opt::testing_idx}),
            std::vector<int>({2, 2, 3, 0, 10, 3}));
}

TEST_F(Options, OrderTextGivesLowestAndHighest) {
  const struct {
    const char* text;
    int low;
    int high;
  } cases[] = {{"2-4", 2, 4}, {"3", 3, 3}, {"2-4-6", 2, 4}, {"-3", 0, 3},
               {"2-", 2, 0},  {"5-3", 5, 3}, {"abc", 0, 0},
               {"2-4294967298", 2, 2147483647} /* found by fuzzing: this wrapped to 2 */};
  for (const auto& c : cases) {
    parse({"--order", c.text});
    EXPECT_EQ(opt::order_str, c.text);
    EXPECT_EQ(opt::init_order, c.low) << c.text;
    EXPECT_EQ(opt::order, c.high) << c.text;
  }
}

TEST(IntToString, FormatsDecimalIntoAFreshBuffer) {
  char* text = int2str(-42);
  EXPECT_STREQ(text, "-42");
  free(text);
}

}  // namespace

TEST(OptionValues, RealNumbersAreReadWholeBelowTheSmallestNormalDoubleToo) {
  double value = -1;
  EXPECT_TRUE(readRealNumber("1e-320", value));
  EXPECT_GT(value, 0.0);
  EXPECT_TRUE(readRealNumber("1e-400", value));
  EXPECT_EQ(value, 0.0);
  for (const char* refused : {"1e400", "-1e400", "0x1p-3", "nan", "inf", "1e-3x"})
    EXPECT_FALSE(readRealNumber(refused, value)) << refused;
}
