// Cell charts: the counts behind the bars, and SVG documents that a strict
// XML parser (xmllint, from libxml2) accepts as well-formed UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

#include "app/plot.h"
#include "support/run_program.h"

namespace {

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;   // the element's character data, entities decoded
  std::string title;  // the text of its <title> child
};
using XmlDocument = std::vector<XmlElement>;  // every element in document order, the root first

std::string decoded(const std::string& text) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  std::string out = text;
  for (const auto& [entity, character] : entities) {
    for (std::size_t at = 0; (at = out.find(entity, at)) != std::string::npos; ++at)
      out.replace(at, std::string(entity).size(), character);
  }
  return out;
}

// The elements of a chart, once xmllint has found the document well-formed
// (a failure is reported and an empty document returned). The charts put
// each element's text and title inline, which is all this reading needs.
XmlDocument parseXml(const std::string& doc) {
  const std::string path = makeTempDir() + "/chart.svg";
  writeFile(path, doc);
  const ProgramResult lint = runProgram("/usr/bin/xmllint", {"--noout", path});
  EXPECT_EQ(lint.status, 0) << lint.err;
  if (lint.status != 0) return {};
  static const std::regex element(R"re(<([A-Za-z]+)((?:\s+[-\w:]+="[^"]*")*)\s*(/?)>(?:<title>([^<]*)</title>)?([^<]*))re");
  static const std::regex attribute(R"re(([-\w:]+)="([^"]*)")re");
  XmlDocument elements;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), element); it != std::sregex_iterator(); ++it) {
    XmlElement e{(*it)[1], {}, (*it)[3].length() == 0 ? decoded((*it)[5]) : "", decoded((*it)[4])};
    const std::string attributes = (*it)[2];
    for (auto a = std::sregex_iterator(attributes.begin(), attributes.end(), attribute); a != std::sregex_iterator(); ++a)
      e.attributes.emplace((*a)[1], decoded((*a)[2]));
    if (e.name != "title") elements.push_back(e);
  }
  return elements;
}

std::vector<const XmlElement*> findAll(const XmlDocument& doc, const std::string& name,
                                       const std::string& css_class = "") {
  std::vector<const XmlElement*> found;
  for (const XmlElement& element : doc) {
    const auto it = element.attributes.find("class");
    if (element.name == name &&
        (css_class.empty() || (it != element.attributes.end() && it->second == css_class)))
      found.push_back(&element);
  }
  return found;
}

std::string allText(const XmlDocument& doc) {
  std::string text;
  for (const XmlElement* label : findAll(doc, "text")) text += label->text + "\n";
  return text;
}

// The count a bar's tooltip states: "<cell>: 12 cases".
int tooltipCount(const XmlElement& bar) { return std::stoi(bar.title.substr(bar.title.rfind(": ") + 2)); }

// Three markers, eight samples. Sample 3 misses marker 0, sample 5 marker
// 1, sample 6 marker 2.
const std::vector<unsigned char> kGenotypes = {0, 1, 2, 3, 0, 1, 2, 0, 0, 0, 1, 1,
                                               2, 3, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0};
const std::vector<unsigned char> kPhenotypes = {1, 0, 1, 0, 1, 0, 1, 0};

TEST(CellCounts, FollowTheMissingDataMethod) {
  const auto count = [](std::vector<int> combination, int method) {
    return countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, combination, method);
  };
  // Cells of markers 0 and 1: g0 + 3 g1. "none" counts like "available".
  for (int method : {4, 1}) {
    const CellCounts available = count({0, 1}, method);
    EXPECT_EQ(available.cases, (std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0, 1}));
    EXPECT_EQ(available.controls, (std::vector<int>{1, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(available.left_out, 2);
  }
  // "complete" also drops sample 6, which misses only marker 2.
  const CellCounts complete = count({0, 1}, 3);
  EXPECT_EQ(complete.cases, (std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(complete.left_out, 3);
  // "mc": 16 cells g0 + 4 g1, the missing code is a level: sample 3 (3, 1),
  // sample 5 (1, 3) and sample 6 (2, 2).
  const CellCounts mc = count({0, 1}, 2);
  ASSERT_EQ(mc.cases.size(), 16u);
  EXPECT_EQ(mc.left_out, 0);
  EXPECT_EQ(std::vector<int>({mc.controls[7], mc.controls[13], mc.cases[10]}), std::vector<int>(3, 1));
  // The combination's order decides the digits: (1, 0) makes marker 1 the
  // low digit, so sample 2 (marker 0: 2, marker 1: 1) is in cell 1 + 3 x 2.
  const CellCounts swapped = count({1, 0}, 4);
  EXPECT_EQ(swapped.cases[7], 1);
  EXPECT_EQ(swapped.cases[5], 0);
}

CellChart chart(std::vector<std::string> names, std::vector<int> cases, std::vector<int> controls,
                int left_out = 0) {
  CellChart chart;
  chart.names = std::move(names);
  chart.ig = 0.25;
  chart.counts.cases = std::move(cases);
  chart.counts.controls = std::move(controls);
  chart.counts.left_out = left_out;
  return chart;
}

TEST(CellChartSvg, TwoMarkersAreAGridOfBarsScaledToTheirCounts) {
  const CellChart two = chart({"A&B", "<x\"y>"}, {5, 0, 2, 7, 1, 0, 3, 0, 4}, {1, 6, 0, 2, 8, 0, 0, 3, 2}, 4);
  const XmlDocument root = parseXml(cellChartSvg(two));
  EXPECT_EQ(root[0].name, "svg");
  EXPECT_EQ(findAll(root, "rect", "cell").size(), 9u);
  const auto cases = findAll(root, "rect", "case-bar"), controls = findAll(root, "rect", "control-bar");
  // Every count is shown once, and bar heights are proportional to the
  // counts on one scale for cases and controls (the tallest bar: 8).
  double scale = 0;
  for (const XmlElement* bar : controls)
    scale = tooltipCount(*bar) == 8 ? std::stod(bar->attributes.at("height")) / 8 : scale;
  ASSERT_GT(scale, 0);
  for (const auto& [bars, counts] :
       {std::pair{&cases, &two.counts.cases}, std::pair{&controls, &two.counts.controls}}) {
    std::multiset<int> shown;
    for (const XmlElement* bar : *bars) {
      shown.insert(tooltipCount(*bar));
      EXPECT_NEAR(std::stod(bar->attributes.at("height")), scale * tooltipCount(*bar), 0.11) << bar->title;
    }
    EXPECT_EQ(shown, std::multiset<int>(counts->begin(), counts->end()));
  }
  // Cell (row g0 = 1, column g1 = 0) is cell 1: 0 cases, 6 controls.
  EXPECT_EQ(std::count_if(controls.begin(), controls.end(),
                          [](const XmlElement* bar) { return bar->title == "A&B=Aa <x\"y>=AA: 6 controls"; }),
            1);
  for (const std::string label : {"A&B", "<x\"y>", "AA", "Aa", "aa", "4 samples with a missing genotype"})
    EXPECT_NE(allText(root).find(label), std::string::npos) << label;
  // A stray byte, a surrogate (ED A0 80), an overlong slash (C0 AF), a cut
  // sequence, a CR: each unreadable byte becomes '?', valid text stays.
  const CellChart bytes =
      chart({"bad\xff\xed\xa0\x80\xc0\xaf\xc3", "ok\xc3\xa9\r"}, two.counts.cases, two.counts.controls);
  const std::string text = allText(parseXml(cellChartSvg(bytes)));
  EXPECT_NE(text.find("bad??????? x ok\xc3\xa9?"), std::string::npos) << text;
}

TEST(CellChartSvg, OtherOrdersAreOneRowOfCells) {
  const XmlDocument row =
      parseXml(cellChartSvg(chart({"a", "b", "c"}, std::vector<int>(27, 1), std::vector<int>(27, 2))));
  EXPECT_EQ(findAll(row, "rect", "case-bar").size(), 27u);
  // From order 4 on, only the cells with samples.
  std::vector<int> cases(81, 0), controls(81, 0);
  cases[0] = 3;
  controls[80] = 2;
  const XmlDocument sparse = parseXml(cellChartSvg(chart({"a", "b", "c", "d"}, cases, controls)));
  EXPECT_EQ(findAll(sparse, "rect", "cell").size(), 2u);
  EXPECT_NE(allText(sparse).find("d=aa"), std::string::npos);
}

// A data set where pair (s1, s3) decides the phenotype.
std::string pairData() {
  std::string text = "Class\ts0\ts1\ts2\ts3\n";
  for (int s = 0; s < 60; ++s) {
    const int g0 = (s * 7) % 3, g1 = s % 3, g2 = s % 11 == 0 ? 3 : (s / 2) % 3, g3 = (s / 3) % 3;
    for (int value : {(g1 + g3) % 2 == 0 ? 1 : 0, g0, g1, g2}) text += std::to_string(value) + "\t";
    text += std::to_string(g3) + "\n";
  }
  return text;
}

TEST(CellChartRun, OneChartPerOrderWithRowsCountedFromTheData) {
  const std::string dir = makeTempDir();
  const ProgramResult run = runOnData(dir, pairData(), "--order 2-4 --plot 1");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fileExists(dir + "/report.txt.order3.svg"));
  EXPECT_TRUE(fileExists(dir + "/report.txt.order4.svg"));

  const XmlDocument root = parseXml(readFile(dir + "/report.txt.order2.svg"));
  EXPECT_NE(allText(root).find("Best 2-marker combination: s1 x s3"), std::string::npos);
  // s1 and s3 have no missing code, so every sample is drawn: cell (g1, g3)
  // holds 60 / 9 samples, all cases when g1 + g3 is even.
  int drawn = 0;
  for (const XmlElement* bar : findAll(root, "rect", "case-bar")) {
    const auto level = [&](const std::string& marker) {
      return bar->title.find(marker + "=AA") != std::string::npos   ? 0
             : bar->title.find(marker + "=Aa") != std::string::npos ? 1
                                                                    : 2;
    };
    const int g1 = level("s1"), g3 = level("s3");
    EXPECT_EQ(tooltipCount(*bar), (g1 + g3) % 2 == 0 ? (g1 + 3 * g3 < 6 ? 7 : 6) : 0) << bar->title;
    drawn += tooltipCount(*bar);
  }
  for (const XmlElement* bar : findAll(root, "rect", "control-bar")) drawn += tooltipCount(*bar);
  EXPECT_EQ(drawn, 60);

  const ProgramResult plain = runGorva({"--in", "data.txt", "--out", "plain.txt"}, dir);
  EXPECT_EQ(plain.status, 0);
  EXPECT_FALSE(fileExists(dir + "/plain.txt.order2.svg"));
  // A chart that cannot be written fails the run (exit 4, no closing
  // message), and no file of the run is published.
  ASSERT_EQ(mkdir((dir + "/w.txt.order2.svg").c_str(), 0755), 0);
  const ProgramResult blocked = runGorva({"--in", "data.txt", "--out", "w.txt", "--plot", "1"}, dir);
  EXPECT_EQ(blocked.status, 4);
  EXPECT_EQ(blocked.err, "gorva: w.txt.order2.svg: cannot write: Is a directory\n");
  EXPECT_EQ(blocked.out.find("Analysis finished"), std::string::npos);
  EXPECT_FALSE(fileExists(dir + "/w.txt"));
}

TEST(CellChartSvg, ShowsTheCalibratedTail) {
  CellChart chart;
  chart.names = {"A"};
  // 2,000 samples in three cells: G = 1386.294 on 2 df, divided by
  // Williams' 1 + 3 (2000 (1/500 + 1/500 + 1/1000) - 1) / (6 2000 2).
  chart.ig = 0.5;
  chart.counts.cases = {500, 0, 500};
  chart.counts.controls = {0, 500, 500};
  const std::string svg = cellChartSvg(chart);
  EXPECT_NE(svg.find("p-value (chi-square, df 2) 2.033680E-301"), std::string::npos) << svg;
}

// A stratified run's chart quotes the test within the strata, as its IG and
// the table's p_chisq are: it tested the drawn totals as one table, which
// shows the association of stratum and phenotype the strata take apart.
TEST(CellChartSvg, AStratifiedChartTestsWithinTheStrata) {
  CellChart chart;
  chart.names = {"A"};
  // Case shares 0.8 and 0.2 in the two strata whatever the genotype: the
  // totals 90:60 and 60:90 (cases:controls) are strongly associated, the
  // strata not at all (G = 0 on one df each).
  chart.counts.cases = {90, 60, 0};
  chart.counts.controls = {60, 90, 0};
  chart.counts.strata = 2;
  chart.counts.stratum_tables = {20, 80, 10, 40, 0, 0,    // stratum 1: controls, cases per cell
                                 40, 10, 80, 20, 0, 0};  // stratum 2
  const std::string svg = cellChartSvg(chart);
  EXPECT_NE(svg.find("p-value (chi-square within the strata, df 2) 1.000000E+00"), std::string::npos) << svg;

  // The run hands the chart its strata: it quotes the table's rank-1 row.
  const std::string dir = makeTempDir();
  std::string strata;
  for (int s = 0; s < 60; ++s) strata += "x " + std::to_string(s + 1) + (s % 2 ? " odd" : " even") + "\n";
  writeFile(dir + "/s.txt", strata);
  const ProgramResult run = runOnData(dir, pairData(), "--order 1 --plot 1 --table t.tsv --strata s.txt");
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> best;
  for (const std::string& line : splitOn(readFile(dir + "/t.tsv"), '\n')) {
    if (line.rfind("1\t1\t", 0) == 0) best = splitOn(line, '\t');
  }
  ASSERT_GT(best.size(), 10u);
  EXPECT_NE(allText(parseXml(readFile(dir + "/report.txt.order1.svg")))
                .find("p-value (chi-square within the strata, df " + best[6] + ") " + best[10]),
            std::string::npos)
      << best[6] << " " << best[10];
}

}  // namespace
