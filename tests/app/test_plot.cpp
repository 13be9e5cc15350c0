// Cell charts: the counts behind the bars, and SVG documents that an XML
// parser accepts. The parser below is a strict well-formedness check of
// the XML subset that SVG files use (no DTD, no CDATA).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/plot.h"
#include "support/run_program.h"

namespace {

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::vector<XmlElement> children;
  std::string text;  // the element's own character data, entities decoded
};

class XmlParser {
 public:
  explicit XmlParser(const std::string& document) : doc_(document) {}

  XmlElement parseDocument() {
    checkCharacters();
    if (doc_.compare(0, 5, "<?xml") == 0) {
      const std::size_t end = doc_.find("?>");
      if (end == std::string::npos) fail("open prolog");
      pos_ = end + 2;
    }
    skipMisc();
    XmlElement root = parseElement();
    skipMisc();
    if (pos_ != doc_.size()) fail("content after the root element");
    return root;
  }

 private:
  [[noreturn]] std::size_t fail(const std::string& what) {
    throw std::runtime_error("XML error at byte " + std::to_string(pos_) + ": " + what);
  }
  // Valid UTF-8 and no control characters other than tab, LF and CR.
  void checkCharacters() {
    for (std::size_t i = 0; i < doc_.size(); ++i) {
      const auto byte = static_cast<unsigned char>(doc_[i]);
      if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r')
        pos_ = i, fail("control byte");
      if (byte < 0x80) continue;
      const int length = byte >= 0xf0 && byte < 0xf5   ? 4
                         : byte >= 0xe0 && byte < 0xf0 ? 3
                         : byte >= 0xc2 && byte < 0xe0 ? 2
                                                       : 0;
      if (length == 0 || i + length > doc_.size()) pos_ = i, fail("invalid UTF-8");
      for (int j = 1; j < length; ++j) {
        if ((static_cast<unsigned char>(doc_[i + j]) & 0xc0) != 0x80)
          pos_ = i, fail("invalid UTF-8");
      }
      i += length - 1;
    }
  }
  void skipSpace() {
    while (pos_ < doc_.size() && std::isspace(static_cast<unsigned char>(doc_[pos_]))) ++pos_;
  }
  void skipMisc() {
    for (skipSpace(); doc_.compare(pos_, 4, "<!--") == 0; skipSpace()) {
      const std::size_t end = doc_.find("-->", pos_);
      if (end == std::string::npos) fail("open comment");
      pos_ = end + 3;
    }
  }
  std::string parseName() {
    const std::size_t start = pos_;
    while (pos_ < doc_.size() &&
           (std::isalnum(static_cast<unsigned char>(doc_[pos_])) || doc_[pos_] == '-' ||
            doc_[pos_] == '_' || doc_[pos_] == ':' || doc_[pos_] == '.')) {
      ++pos_;
    }
    if (pos_ == start || std::isdigit(static_cast<unsigned char>(doc_[start]))) fail("bad name");
    return doc_.substr(start, pos_ - start);
  }
  // Character data up to `stop`, with entity references decoded.
  std::string parseCharacters(char stop) {
    std::string out;
    while (pos_ < doc_.size() && doc_[pos_] != stop && doc_[pos_] != '<') {
      if (doc_[pos_] != '&') {
        out += doc_[pos_++];
        continue;
      }
      const std::size_t end = doc_.find(';', pos_);
      if (end == std::string::npos) fail("open entity");
      const std::string entity = doc_.substr(pos_ + 1, end - pos_ - 1);
      static const std::map<std::string, char> named = {
          {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
      if (named.count(entity) != 0)
        out += named.at(entity);
      else if (entity.size() > 1 && entity[0] == '#' &&
               entity.find_first_not_of("0123456789", 1) == std::string::npos)
        out += '?';
      else
        fail("unknown entity &" + entity + ";");
      pos_ = end + 1;
    }
    return out;
  }
  XmlElement parseElement() {
    if (doc_[pos_] != '<') fail("expected an element");
    ++pos_;
    XmlElement element;
    element.name = parseName();
    for (;;) {
      const std::size_t before = pos_;
      skipSpace();
      if (doc_.compare(pos_, 2, "/>") == 0) {
        pos_ += 2;
        return element;
      }
      if (pos_ < doc_.size() && doc_[pos_] == '>') break;
      if (pos_ == before) fail("expected blank before attribute");
      const std::string attribute = parseName();
      skipSpace();
      if (pos_ >= doc_.size() || doc_[pos_] != '=') fail("expected =");
      ++pos_;
      skipSpace();
      const char quote = pos_ < doc_.size() ? doc_[pos_] : '\0';
      if (quote != '"' && quote != '\'') fail("unquoted attribute");
      ++pos_;
      const std::string value = parseCharacters(quote);
      if (pos_ >= doc_.size() || doc_[pos_] != quote) fail("'<' or end inside attribute");
      ++pos_;
      if (!element.attributes.emplace(attribute, value).second)
        fail("repeated attribute " + attribute);
    }
    ++pos_;
    for (;;) {
      element.text += parseCharacters('<');
      if (pos_ >= doc_.size()) fail("unclosed <" + element.name + ">");
      if (doc_.compare(pos_, 4, "<!--") == 0) {
        skipMisc();
      } else if (doc_.compare(pos_, 2, "</") == 0) {
        pos_ += 2;
        if (parseName() != element.name) fail("mismatched end tag of <" + element.name + ">");
        skipSpace();
        if (pos_ >= doc_.size() || doc_[pos_] != '>') fail("expected >");
        ++pos_;
        return element;
      } else {
        element.children.push_back(parseElement());
      }
    }
  }

  const std::string& doc_;
  std::size_t pos_ = 0;
};

XmlElement parseXml(const std::string& document) { return XmlParser(document).parseDocument(); }

void collect(const XmlElement& element, const std::string& name, const std::string& css_class,
             std::vector<const XmlElement*>& found) {
  const auto it = element.attributes.find("class");
  if (element.name == name &&
      (css_class.empty() || (it != element.attributes.end() && it->second == css_class))) {
    found.push_back(&element);
  }
  for (const XmlElement& child : element.children) collect(child, name, css_class, found);
}

std::vector<const XmlElement*> findAll(const XmlElement& root, const std::string& name,
                                       const std::string& css_class = "") {
  std::vector<const XmlElement*> found;
  collect(root, name, css_class, found);
  return found;
}

std::string allText(const XmlElement& root) {
  std::string text;
  for (const XmlElement* label : findAll(root, "text")) text += label->text + "\n";
  return text;
}

// The count a bar's tooltip states: "<cell>: 12 cases".
int tooltipCount(const XmlElement& bar) {
  const std::string& title = bar.children.at(0).text;
  return std::stoi(title.substr(title.rfind(": ") + 2));
}

TEST(XmlCheck, RejectsWhatBrowsersRefuse) {
  EXPECT_NO_THROW(parseXml("<?xml version=\"1.0\"?>\n<a x='1'><b/>t &amp; &lt;</a>\n"));
  for (const std::string& bad : std::vector<std::string>{
           "<a><b></a></b>", "<a x=\"1\" x=\"2\"/>", "<a>&nbsp;</a>", "<a>R&D</a>", "<a x=\"<\"/>",
           "<a/><b/>", std::string("<a>\xff</a>"), "<a>\x01</a>", "<a>"}) {
    EXPECT_THROW(parseXml(bad), std::runtime_error) << bad;
  }
}

// Three markers, eight samples. Sample 3 misses marker 0, sample 5 marker
// 1, sample 6 marker 2.
const std::vector<unsigned char> kGenotypes = {0, 1, 2, 3, 0, 1, 2, 0, 0, 0, 1, 1,
                                               2, 3, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0};
const std::vector<unsigned char> kPhenotypes = {1, 0, 1, 0, 1, 0, 1, 0};

TEST(CellCounts, FollowTheMissingDataMethod) {
  // Cells of markers 0 and 1: g0 + 3 g1.
  const CellCounts available = countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, {0, 1}, 4);
  EXPECT_EQ(available.cases, (std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0, 1}));
  EXPECT_EQ(available.controls, (std::vector<int>{1, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(available.left_out, 2);
  const CellCounts none = countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, {0, 1}, 1);
  EXPECT_EQ(none.cases, available.cases);

  // "complete" also drops sample 6, which misses only marker 2.
  const CellCounts complete = countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, {0, 1}, 3);
  EXPECT_EQ(complete.cases, (std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(complete.left_out, 3);

  // "mc": 16 cells g0 + 4 g1, the missing code is a level.
  const CellCounts mc = countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, {0, 1}, 2);
  ASSERT_EQ(mc.cases.size(), 16u);
  EXPECT_EQ(mc.left_out, 0);
  EXPECT_EQ(mc.controls[7], 1);   // sample 3: (3, 1)
  EXPECT_EQ(mc.controls[13], 1);  // sample 5: (1, 3)
  EXPECT_EQ(mc.cases[10], 1);     // sample 6: (2, 2)

  // The combination's order decides the digits: (1, 0) makes marker 1 the
  // low digit, so sample 2 (marker 0: 2, marker 1: 1) is in cell 1 + 3 x 2.
  const CellCounts swapped = countCells(kGenotypes.data(), kPhenotypes.data(), 8, 3, {1, 0}, 4);
  EXPECT_EQ(swapped.cases[7], 1);
  EXPECT_EQ(swapped.cases[5], 0);
}

CellChart twoMarkerChart() {
  CellChart chart;
  chart.names = {"A&B", "<x\"y>"};
  chart.ig = 0.25;
  chart.counts.cases = {5, 0, 2, 7, 1, 0, 3, 0, 4};
  chart.counts.controls = {1, 6, 0, 2, 8, 0, 0, 3, 2};
  chart.counts.left_out = 4;
  return chart;
}

TEST(CellChartSvg, TwoMarkersAreAGridOfBarsScaledToTheirCounts) {
  const CellChart chart = twoMarkerChart();
  const XmlElement root = parseXml(cellChartSvg(chart));
  EXPECT_EQ(root.name, "svg");
  EXPECT_EQ(findAll(root, "rect", "cell").size(), 9u);
  const auto cases = findAll(root, "rect", "case-bar");
  const auto controls = findAll(root, "rect", "control-bar");
  ASSERT_EQ(cases.size(), 9u);
  ASSERT_EQ(controls.size(), 9u);
  // Every count is shown once, and bar heights are proportional to the
  // counts on one scale for cases and controls (the tallest bar: 8).
  double scale = 0;
  for (const XmlElement* bar : controls) {
    if (tooltipCount(*bar) == 8) scale = std::stod(bar->attributes.at("height")) / 8;
  }
  ASSERT_GT(scale, 0);
  for (const auto* bars : {&cases, &controls}) {
    const std::vector<int>& counts = bars == &cases ? chart.counts.cases : chart.counts.controls;
    const std::multiset<int> expected(counts.begin(), counts.end());
    std::multiset<int> shown;
    for (const XmlElement* bar : *bars) {
      const int count = tooltipCount(*bar);
      shown.insert(count);
      EXPECT_NEAR(std::stod(bar->attributes.at("height")), scale * count, 0.11) << count;
    }
    EXPECT_EQ(shown, expected);
  }
  // Cell (row g0 = 1, column g1 = 0) is cell 1: 0 cases, 6 controls.
  bool found = false;
  for (const XmlElement* bar : controls) {
    if (bar->children[0].text == "A&B=Aa <x\"y>=AA: 6 controls") found = true;
  }
  EXPECT_TRUE(found);
  const std::string text = allText(root);
  for (const std::string label :
       {"A&B", "<x\"y>", "AA", "Aa", "aa", "4 samples with a missing genotype"}) {
    EXPECT_NE(text.find(label), std::string::npos) << label;
  }
}

TEST(CellChartSvg, OtherOrdersAreOneRowOfCells) {
  CellChart three;
  three.names = {"a", "b", "c"};
  three.counts.cases.assign(27, 1);
  three.counts.controls.assign(27, 2);
  const XmlElement row = parseXml(cellChartSvg(three));
  EXPECT_EQ(findAll(row, "rect", "case-bar").size(), 27u);

  // From order 4 on, only the cells with samples.
  CellChart four;
  four.names = {"a", "b", "c", "d"};
  four.counts.cases.assign(81, 0);
  four.counts.controls.assign(81, 0);
  four.counts.cases[0] = 3;
  four.counts.controls[80] = 2;
  const XmlElement sparse = parseXml(cellChartSvg(four));
  EXPECT_EQ(findAll(sparse, "rect", "cell").size(), 2u);
  EXPECT_NE(allText(sparse).find("d=aa"), std::string::npos);
}

TEST(CellChartSvg, BytesThatAreNotUtf8StayWellFormed) {
  CellChart chart = twoMarkerChart();
  // A stray byte, a surrogate (ED A0 80), an overlong slash (C0 AF), a cut
  // sequence, a CR: each unreadable byte becomes '?', valid text stays.
  chart.names = {std::string("bad\xff\xed\xa0\x80\xc0\xaf\xc3"), std::string("ok\xc3\xa9\r")};
  const XmlElement root = parseXml(cellChartSvg(chart));
  EXPECT_NE(allText(root).find("bad??????? x ok\xc3\xa9?"), std::string::npos) << allText(root);
}

// A data set where pair (s1, s3) decides the phenotype.
std::string pairData() {
  std::string text = "Class\ts0\ts1\ts2\ts3\n";
  for (int s = 0; s < 60; ++s) {
    const int g1 = s % 3;
    const int g3 = (s / 3) % 3;
    const int g0 = (s * 7) % 3;
    const int g2 = s % 11 == 0 ? 3 : (s / 2) % 3;
    const bool is_case = (g1 + g3) % 2 == 0;
    text += std::string(is_case ? "1" : "0") + "\t" + std::to_string(g0) + "\t" +
            std::to_string(g1) + "\t" + std::to_string(g2) + "\t" + std::to_string(g3) + "\n";
  }
  return text;
}

TEST(CellChartRun, OneChartPerOrderWithRowsCountedFromTheData) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", pairData());
  const ProgramResult run =
      runGorva({"--in", "d.txt", "--out", "r.txt", "--order", "2-5", "--plot", "1"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fileExists(dir + "/r.txt.order3.svg"));
  EXPECT_TRUE(fileExists(dir + "/r.txt.order4.svg"));
  EXPECT_FALSE(fileExists(dir + "/r.txt.order5.svg"));  // 4 markers: no combination of 5

  const XmlElement root = parseXml(readFile(dir + "/r.txt.order2.svg"));
  EXPECT_NE(allText(root).find("Best 2-marker combination: s1 x s3"), std::string::npos);
  // s1 and s3 have no missing code, so every sample is drawn: cell (g1, g3)
  // holds 60 / 9 samples, all cases when g1 + g3 is even.
  int drawn = 0;
  for (const XmlElement* bar : findAll(root, "rect", "case-bar")) {
    const std::string& title = bar->children[0].text;
    const int g1 = title.find("s1=AA") != std::string::npos   ? 0
                   : title.find("s1=Aa") != std::string::npos ? 1
                                                              : 2;
    const int g3 = title.find("s3=AA") != std::string::npos   ? 0
                   : title.find("s3=Aa") != std::string::npos ? 1
                                                              : 2;
    const int expected = (g1 + g3) % 2 == 0 ? (g1 + 3 * g3 < 6 ? 7 : 6) : 0;
    EXPECT_EQ(tooltipCount(*bar), expected) << title;
    drawn += tooltipCount(*bar);
  }
  for (const XmlElement* bar : findAll(root, "rect", "control-bar")) drawn += tooltipCount(*bar);
  EXPECT_EQ(drawn, 60);

  const ProgramResult plain = runGorva({"--in", "d.txt", "--out", "plain.txt"}, dir);
  EXPECT_EQ(plain.status, 0);
  EXPECT_FALSE(fileExists(dir + "/plain.txt.order2.svg"));
}

TEST(CellChartRun, AChartThatCannotBeWrittenIsAWarning) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", pairData());
  ASSERT_EQ(mkdir((dir + "/r.txt.order2.svg").c_str(), 0755), 0);
  const ProgramResult run = runGorva({"--in", "d.txt", "--out", "r.txt", "--plot", "1"}, dir);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "gorva: warning: cannot write the cell chart r.txt.order2.svg\n");
  EXPECT_NE(readFile(dir + "/r.txt").find("1,s1 s3,"), std::string::npos);
}

}  // namespace
