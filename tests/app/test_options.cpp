// setOptions on word lists: defaults, lookups, word indices and the order text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/helper.h"
#include "app/options.h"

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
  EXPECT_EQ(opt::init_order, 2);
  EXPECT_EQ(opt::order, 2);
  EXPECT_EQ(opt::missing_idx, 3);
  EXPECT_EQ(opt::tie_idx, 0);
  EXPECT_EQ(opt::report_top_k, 10);
  EXPECT_EQ(opt::testing_idx, 3);
  EXPECT_STREQ(getOptionString(),
               "# input file : \n# result file : \n# combination order : 2\n"
               "# K=number of final significant snps for presentation : 10\n");
}

TEST_F(Options, OrderTextGivesLowestAndHighest) {
  const struct {
    const char* text;
    int low;
    int high;
  } cases[] = {{"2-4", 2, 4}, {"3", 3, 3}, {"2-4-6", 2, 4}, {"-3", 0, 3},
               {"2-", 2, 0},  {"5-3", 5, 3}, {"abc", 0, 0}};
  for (const auto& c : cases) {
    parse({"--order", c.text});
    EXPECT_EQ(opt::order_str, c.text);
    EXPECT_EQ(opt::init_order, c.low) << c.text;
    EXPECT_EQ(opt::order, c.high) << c.text;
  }
}

TEST_F(Options, TypeAndScoreFile) {
  parse({"--type", "gmdr"});
  EXPECT_EQ(opt::mdr_type, "gmdr");
  EXPECT_EQ(opt::is_gmdr, 1);
  EXPECT_EQ(opt::score_file, "");
  resetDefaults();
  parse({"--type", "mdr", "--score", "s.txt"});
  EXPECT_EQ(opt::mdr_type, "gmdr");
  EXPECT_EQ(opt::is_gmdr, 1);
  EXPECT_EQ(opt::score_file, "s.txt");
}

TEST_F(Options, WordListsSetIndicesAndUnknownWordsKeepThem) {
  parse({"--tie", "low", "--missing", "em"});
  EXPECT_EQ(opt::tie_idx, 1);
  EXPECT_EQ(opt::missing_idx, 5);
  resetDefaults();
  parse({"--missing", "EM", "--tie", "ignore"});
  EXPECT_EQ(opt::missing, "EM");
  EXPECT_EQ(opt::missing_idx, 3);
  EXPECT_EQ(opt::tie_idx, 2);
  const char* words[] = {"none", "mc", "complete", "available", "imputation", "em"};
  for (int i = 0; i < 6; ++i) {
    resetDefaults();
    parse({"--missing", words[i]});
    EXPECT_EQ(opt::missing_idx, i) << words[i];
  }
}

TEST_F(Options, SwitchesAreOnOnlyForOne) {
  parse({"--debug", "2", "--save_all", "2", "--shuffle", "2"});
  EXPECT_FALSE(opt::debug);
  EXPECT_FALSE(opt::save_all);
  EXPECT_EQ(opt::shuffling_idx, 0);
  EXPECT_FALSE(opt::shuffling);
  resetDefaults();
  parse({"--debug", "1", "--save_all", "1", "--shuffle", "1"});
  EXPECT_TRUE(opt::debug);
  EXPECT_TRUE(opt::save_all);
  EXPECT_EQ(opt::shuffling_idx, 1);
  EXPECT_TRUE(opt::shuffling);
}

TEST_F(Options, PermAlwaysSwitchesTheTestingMethod) {
  parse({"--perm", "0"});
  EXPECT_EQ(opt::perm, 0);
  EXPECT_EQ(opt::testing_idx, 2);
}

TEST_F(Options, SummaryIsRebuiltOnEveryCall) {
  parse({"--in", "a.txt", "--out", "r.txt", "--order", "2-3", "--top", "4"});
  const std::string first = getOptionString();
  EXPECT_EQ(first,
            "# input file : a.txt\n# result file : r.txt\n# combination order : 3\n"
            "# K=number of final significant snps for presentation : 4\n");
  EXPECT_EQ(std::string(getOptionString()), first);
  opt::report_top_k = 7;
  EXPECT_NE(std::string(getOptionString()).find("presentation : 7\n"), std::string::npos);
  EXPECT_EQ(opt::all_opt, "gorva --in a.txt --out r.txt --order 2-3 --top 4 ");
}

TEST(IntToString, FormatsDecimalIntoAFreshBuffer) {
  char* text = int2str(-42);
  EXPECT_STREQ(text, "-42");
  free(text);
}

}  // namespace
