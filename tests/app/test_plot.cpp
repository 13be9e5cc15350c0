// Cell charts: the counts behind the bars, and SVG documents that an XML
// parser accepts. The parser below is a strict well-formedness check of
// the XML subset that SVG files use (no DTD, no CDATA).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>

#include "app/plot.h"
#include "support/run_program.h"

namespace {

struct XmlElement {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;   // the element's own character data, entities decoded
  std::string title;  // the text of its <title> child
};
using XmlDocument = std::vector<XmlElement>;  // every element in document order, the root first

[[noreturn]] void xmlError(const std::string& what, std::size_t at) {
  throw std::runtime_error("XML error at byte " + std::to_string(at) + ": " + what);
}

// Character data with its entity references decoded; a bare '&', an unknown
// entity and '<' are errors.
std::string decoded(const std::string& text, std::size_t at) {
  static const std::map<std::string, char> named = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '<') xmlError("'<' in character data", at + i);
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find(';', i);
    const std::string entity = text.substr(i + 1, end == std::string::npos ? 0 : end - i - 1);
    const bool numeric = entity.size() > 1 && entity[0] == '#' &&
                         entity.find_first_not_of("0123456789", 1) == std::string::npos;
    if (!numeric && named.count(entity) == 0) xmlError("bad entity &" + entity, at + i);
    out += numeric ? '?' : named.at(entity);
    i = end;
  }
  return out;
}

// Valid UTF-8 and no control characters other than tab, LF and CR.
void checkCharacters(const std::string& doc) {
  for (std::size_t i = 0; i < doc.size(); ++i) {
    const auto byte = static_cast<unsigned char>(doc[i]);
    const int length = byte < 0x80 ? 1 : byte >= 0xc2 && byte < 0xe0 ? 2 : byte >= 0xe0 && byte < 0xf0 ? 3
                       : byte >= 0xf0 && byte < 0xf5 ? 4 : 0;
    bool valid = length > 0 && i + length <= doc.size() &&
                 (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r');
    for (int j = 1; valid && j < length; ++j)
      valid = (static_cast<unsigned char>(doc[i + j]) & 0xc0) == 0x80;
    if (!valid) xmlError("control byte or invalid UTF-8", i);
    i += length - 1;
  }
}

// Throws std::runtime_error on anything that is not a well-formed document
// of one root element.
XmlDocument parseXml(const std::string& doc) {
  static const std::regex start_tag(
      R"re(<([A-Za-z_][-\w.:]*)((?:\s+[A-Za-z_][-\w.:]*\s*=\s*(?:"[^"<]*"|'[^'<]*'))*)\s*(/?)>)re");
  static const std::regex end_tag(R"re(</([A-Za-z_][-\w.:]*)\s*>)re");
  static const std::regex attribute(R"re(([-\w.:]+)\s*=\s*(?:"([^"]*)"|'([^']*)'))re");
  checkCharacters(doc);
  XmlDocument elements;
  std::vector<std::size_t> open;
  std::size_t pos = doc.compare(0, 5, "<?xml") == 0 ? doc.find("?>") : 0;
  if (pos == std::string::npos) xmlError("open prolog", 0);
  if (pos > 0) pos += 2;
  while (pos < doc.size()) {
    const std::size_t lt = std::min(doc.find('<', pos), doc.size());
    const std::string text = decoded(doc.substr(pos, lt - pos), pos);
    if (!open.empty()) {
      elements[open.back()].text += text;
    } else if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
      xmlError("text outside the root element", pos);
    }
    if (lt == doc.size()) break;
    const bool comment = doc.compare(lt, 4, "<!--") == 0;
    const std::size_t end = doc.find(comment ? "-->" : ">", lt);
    if (end == std::string::npos) xmlError("open tag or comment", lt);
    pos = end + (comment ? 3 : 1);
    if (comment) continue;
    const std::string tag = doc.substr(lt, pos - lt);
    std::smatch match;
    if (std::regex_match(tag, match, end_tag)) {
      if (open.empty() || match[1] != elements[open.back()].name) xmlError("mismatched " + tag, lt);
      const XmlElement& closed = elements[open.back()];
      open.pop_back();
      if (closed.name == "title" && !open.empty()) elements[open.back()].title = closed.text;
      continue;
    }
    if (!std::regex_match(tag, match, start_tag)) xmlError("bad tag " + tag, lt);
    if (open.empty() && !elements.empty()) xmlError("a second root element", lt);
    XmlElement element{match[1], {}, "", ""};
    const std::string attributes = match[2];
    for (auto it = std::sregex_iterator(attributes.begin(), attributes.end(), attribute);
         it != std::sregex_iterator(); ++it) {
      const std::string value = decoded((*it)[2].matched ? (*it)[2] : (*it)[3], lt);
      if (!element.attributes.emplace((*it)[1], value).second) xmlError("repeated attribute", lt);
    }
    elements.push_back(element);
    if (match[3].length() == 0) open.push_back(elements.size() - 1);
  }
  if (!open.empty() || elements.empty()) xmlError("unclosed or missing root element", doc.size());
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
  const ProgramResult run = runOnData(dir, pairData(), "--order 2-5 --plot 1");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fileExists(dir + "/report.txt.order3.svg"));
  EXPECT_TRUE(fileExists(dir + "/report.txt.order4.svg"));
  EXPECT_FALSE(fileExists(dir + "/report.txt.order5.svg"));  // 4 markers: no combination of 5

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
  // A chart that cannot be written is a warning; the report is still written.
  ASSERT_EQ(mkdir((dir + "/w.txt.order2.svg").c_str(), 0755), 0);
  const ProgramResult blocked = runGorva({"--in", "data.txt", "--out", "w.txt", "--plot", "1"}, dir);
  EXPECT_EQ(blocked.status, 0);
  EXPECT_EQ(blocked.err, "gorva: warning: cannot write the cell chart w.txt.order2.svg\n");
  EXPECT_NE(readFile(dir + "/w.txt").find("1,s1 s3,"), std::string::npos);
}

}  // namespace
