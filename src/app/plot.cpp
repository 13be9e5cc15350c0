// Cell charts as SVG: counting the best combination's cells again from the
// data (the search keeps only the measures) and drawing them.
#include "app/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "engine/count/genotype_view.h"
#include "engine/mdrresult.h"
#include "engine/rank/missingdata.h"
#include "engine/rank/table_test.h"
#include "core/gorva.h"
#include "io/messages.h"
#include "io/output_file.h"
#include "core/search_constants.h"

namespace {

constexpr const char* kGenotypeLabels[4] = {"AA", "Aa", "aa", "missing"};
constexpr const char* kCaseColour = "#c0392b";
constexpr const char* kControlColour = "#2e86c1";
constexpr const char* kHighRiskFill = "#c8c8c8";
constexpr const char* kLowRiskFill = "#f4f4f4";

// The length of the well-formed UTF-8 sequence at text[i], or 0 (overlong
// forms and surrogates included, which XML parsers refuse).
int utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) length = 2;
  if (lead >= 0xe0 && lead <= 0xef) length = 3;
  if (lead >= 0xf0 && lead <= 0xf4) length = 4;
  if (lead == 0xe0) low = 0xa0;
  if (lead == 0xed) high = 0x9f;
  if (lead == 0xf0) low = 0x90;
  if (lead == 0xf4) high = 0x8f;
  if (length == 0 || i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (int k = 2; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
  }
  return length;
}

// Text for XML: markup characters escaped; control bytes and bytes that do
// not form UTF-8 (a data file may carry any byte in a marker name) become '?'.
std::string xmlText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '&': out += "&amp;"; continue;
      case '<': out += "&lt;"; continue;
      case '>': out += "&gt;"; continue;
      case '"': out += "&quot;"; continue;
      case '\'': out += "&apos;"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      out += '?';
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else if (const int length = utf8Length(text, i); length > 0) {
      out.append(text.substr(i, length));
      i += length - 1;
    } else {
      out += '?';
    }
  }
  return out;
}

std::string number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A short form of a name for the narrow cell labels.
std::string shortName(const std::string& name) {
  return name.size() <= 14 ? name : name.substr(0, 12) + "..";
}

class Svg {
 public:
  Svg(int width, int height) {
    text_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
        "width=\"" +
        std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
        std::to_string(width) + " " + std::to_string(height) +
        "\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"13\">\n" +
        "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(width) + "\" height=\"" +
        std::to_string(height) + "\" fill=\"white\"/>\n";
  }
  void label(double x, double y, const std::string& escaped, const char* anchor = "start",
             const std::string& extra = "") {
    text_ += "<text x=\"" + number("%.1f", x) + "\" y=\"" + number("%.1f", y) +
             "\" text-anchor=\"" + anchor + "\"" + extra + ">" + escaped + "</text>\n";
  }
  void rect(double x, double y, double w, double h, const std::string& attributes,
            const std::string& tooltip = "") {
    text_ += "<rect x=\"" + number("%.1f", x) + "\" y=\"" + number("%.1f", y) + "\" width=\"" +
             number("%.1f", w) + "\" height=\"" + number("%.1f", h) + "\" " + attributes;
    text_ += tooltip.empty() ? "/>\n" : "><title>" + tooltip + "</title></rect>\n";
  }
  std::string finish() { return text_ + "</svg>\n"; }

 private:
  std::string text_;
};

// The genotype digits of cell c, first marker first.
std::vector<int> cellDigits(int cell, int base, int order) {
  std::vector<int> digits(order);
  for (int j = 0; j < order; ++j, cell /= base) digits[j] = cell % base;
  return digits;
}

// What every cell of a chart is measured against: the tallest bar, and the
// case/control ratio of all counted samples that marks a cell as high risk.
struct ChartScale {
  int tallest = 0;
  double overall_ratio = 0;
};

struct CellBox {
  double x, y, w, h;
};

// One cell: background by risk, a case bar and a control bar with counts.
void drawCell(Svg& svg, const CellBox& box, int cases, int controls, const ChartScale& scale,
              const std::string& cell_name) {
  const auto [x, y, w, h] = box;
  const auto [tallest, overall_ratio] = scale;
  const bool empty = cases + controls == 0;
  const bool high =
      !empty && (controls == 0 || static_cast<double>(cases) / controls > overall_ratio);
  svg.rect(x, y, w, h,
           std::string("class=\"cell\" fill=\"") +
               (empty  ? "white"
                : high ? kHighRiskFill
                       : kLowRiskFill) +
               "\" stroke=\"#555\"");
  const double baseline = y + h - 20;
  const double room = h - 50;
  const double bar = w * 0.26;
  const int counts[2] = {cases, controls};
  const char* classes[2] = {"case-bar", "control-bar"};
  const char* colours[2] = {kCaseColour, kControlColour};
  const char* words[2] = {"cases", "controls"};
  for (int i = 0; i < 2; ++i) {
    const double height = tallest > 0 ? room * counts[i] / tallest : 0;
    const double left = x + w * (i == 0 ? 0.18 : 0.56);
    svg.rect(left, baseline - height, bar, height,
             std::string("class=\"") + classes[i] + "\" fill=\"" + colours[i] + "\"",
             cell_name + ": " + std::to_string(counts[i]) + " " + words[i]);
    svg.label(left + bar / 2, baseline - height - 4, std::to_string(counts[i]), "middle",
              " font-size=\"11\"");
  }
}

void drawLegend(Svg& svg, double x, double y, const CellChart& chart) {
  svg.rect(x, y - 11, 12, 12, std::string("fill=\"") + kCaseColour + "\"");
  svg.label(x + 18, y, "cases");
  svg.rect(x + 80, y - 11, 12, 12, std::string("fill=\"") + kControlColour + "\"");
  svg.label(x + 98, y, "controls");
  svg.rect(x + 180, y - 11, 12, 12, std::string("fill=\"") + kHighRiskFill + "\" stroke=\"#555\"");
  svg.label(x + 198, y, "cases/controls above the overall ratio (high risk)");
  std::string note = "AA, Aa, aa: genotype codes 0, 1, 2 (with --bfile: copies of allele 1)";
  if (chart.counts.left_out > 0) {
    note += "; " + std::to_string(chart.counts.left_out) +
            " samples with a missing genotype are not drawn";
  }
  svg.label(x, y + 20, note, "start", " font-size=\"11\" fill=\"#444\"");
}

std::string title(const CellChart& chart) {
  std::string names;
  for (std::size_t j = 0; j < chart.names.size(); ++j)
    names += (j ? " x " : "") + xmlText(chart.names[j]);
  return "Best " + std::to_string(chart.names.size()) + "-marker combination: " + names;
}

std::string measures(const CellChart& chart) {
  // The p-value of the drawn cells, as the results table tests them. In a
  // stratified run that adds up one test per stratum, as the IG shown does:
  // the drawn totals, tested as one table, were the association the strata
  // are there to take apart.
  std::vector<int> table;
  for (std::size_t c = 0; c < chart.counts.cases.size(); ++c) {
    table.push_back(chart.counts.controls[c]);
    table.push_back(chart.counts.cases[c]);
  }
  const int cells = static_cast<int>(table.size() / 2);
  const bool stratified = chart.counts.strata > 0;
  const TableTest test = stratified ? associationTest(chart.counts.stratum_tables.data(), chart.counts.strata, cells)
                                    : associationTest(table.data(), 1, cells);
  return "IG " + number("%f", chart.ig) + " bits, RIG " + number("%f", chart.rig) + ", p-value (" +
         (stratified ? "chi-square within the strata" : "chi-square") + ", df " + std::to_string(test.df) + ") " +
         (std::isnan(test.p_value) ? std::string("NA") : number("%E", test.p_value));
}

std::string gridSvg(const CellChart& chart, const ChartScale& scale) {
  const int base = chart.counts.base;
  const double cell = 150;
  const double left = 160;
  const double top = 130;
  const int width = std::max(760, static_cast<int>(left + base * cell + 40));
  const int height = static_cast<int>(top + base * cell + 70);
  Svg svg(width, height);
  svg.label(20, 28, title(chart), "start", " font-size=\"17\" font-weight=\"bold\"");
  svg.label(20, 50, measures(chart));
  svg.label(left + base * cell / 2, 88, xmlText(chart.names[1]), "middle", " font-weight=\"bold\"");
  const double middle = top + base * cell / 2;
  const double row_title_x = left - 85;
  svg.label(row_title_x, middle, xmlText(chart.names[0]), "middle",
            " font-weight=\"bold\" transform=\"rotate(-90 " + number("%.1f", row_title_x) + " " +
                number("%.1f", middle) + ")\"");
  for (int g = 0; g < base; ++g) {
    svg.label(left + (g + 0.5) * cell, top - 12, kGenotypeLabels[g], "middle");
    svg.label(left - 12, top + (g + 0.5) * cell, kGenotypeLabels[g], "end");
  }
  for (int row = 0; row < base; ++row) {
    for (int column = 0; column < base; ++column) {
      const int c = row + column * base;
      const std::string name = xmlText(chart.names[0]) + "=" + kGenotypeLabels[row] + " " +
                               xmlText(chart.names[1]) + "=" + kGenotypeLabels[column];
      drawCell(svg, {left + column * cell, top + row * cell, cell, cell}, chart.counts.cases[c],
               chart.counts.controls[c], scale, name);
    }
  }
  drawLegend(svg, 20, top + base * cell + 32, chart);
  return svg.finish();
}

std::string rowSvg(const CellChart& chart, const ChartScale& scale) {
  const int order = static_cast<int>(chart.names.size());
  const int base = chart.counts.base;
  const int cells = static_cast<int>(chart.counts.cases.size());
  std::vector<int> shown;
  for (int c = 0; c < cells; ++c) {
    if (order < 4 || chart.counts.cases[c] + chart.counts.controls[c] > 0) shown.push_back(c);
  }
  const double cell_w = 100;
  const double cell_h = 190;
  const double left = 20;
  const double top = 80;
  const int width = std::max(760, static_cast<int>(left + shown.size() * cell_w + 20));
  const int height = static_cast<int>(top + cell_h + 16 * order + 70);
  Svg svg(width, height);
  svg.label(20, 28, title(chart), "start", " font-size=\"17\" font-weight=\"bold\"");
  svg.label(20, 50, measures(chart) + (order >= 4 ? "; empty cells are left out" : ""));
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const std::vector<int> digits = cellDigits(shown[i], base, order);
    const double x = left + i * cell_w;
    std::string name;
    for (int j = 0; j < order; ++j) {
      const std::string part =
          xmlText(shortName(chart.names[j])) + "=" + kGenotypeLabels[digits[j]];
      svg.label(x + cell_w / 2, top + cell_h + 16 * (j + 1), part, "middle", " font-size=\"11\"");
      name += (j ? " " : "") + xmlText(chart.names[j]) + "=" + kGenotypeLabels[digits[j]];
    }
    drawCell(svg, {x, top, cell_w, cell_h}, chart.counts.cases[shown[i]], chart.counts.controls[shown[i]], scale,
             name);
  }
  drawLegend(svg, 20, top + cell_h + 16 * order + 34, chart);
  return svg.finish();
}

}  // namespace

CellCounts countCells(const unsigned char* genotypes, const unsigned char* phenotypes,
                      int sample_count, int marker_count, const std::vector<int>& markers,
                      int missing_code, const int* strata, int stratum_count) {
  CellCounts counts;
  counts.base = genotypeLevels(missing_code);
  const int k = static_cast<int>(markers.size());
  // The search's own counting, on a copy of the k columns (whose offsets
  // always fit an int) and of the classes (a case is a phenotype of 1).
  // Every method counts its observed codes here: what "em" assigns to the
  // missing ones is not drawn.
  std::vector<unsigned char> columns =
      copyColumns(GenotypeView::markerMajor(genotypes, sample_count), markers.data(), k, sample_count);
  std::vector<unsigned char> classes(static_cast<std::size_t>(sample_count));
  std::vector<int> samples;
  samples.reserve(static_cast<std::size_t>(sample_count));
  for (int s = 0; s < sample_count; ++s) {
    classes[s] = phenotypes[s] == 1 ? 1 : 0;
    if (missing_code != kMethodComplete || sampleIsComplete(genotypes, marker_count, sample_count, s))
      samples.push_back(s);
  }
  std::vector<int> multipliers(k);
  std::vector<int> table(fillTableMultipliers(counts.base, k, multipliers.data()), 0);
  const int cells = static_cast<int>(table.size() / 2);
  std::vector<int> offsets(k);
  for (int j = 0; j < k; ++j) offsets[j] = j * sample_count;
  int cases = 0;
  int controls = 0;
  countTable_none(multipliers.data(), offsets.data(), k, counts.base, samples.data(),
                  static_cast<int>(samples.size()), columns.data(), k, classes.data(), sample_count, &cases,
                  &controls, nullptr, nullptr, table.data());
  counts.cases.resize(cells);
  counts.controls.resize(cells);
  int counted = 0;
  for (int c = 0; c < cells; ++c) {
    counts.controls[c] = table[2 * c];
    counts.cases[c] = table[2 * c + 1];
    counted += table[2 * c] + table[2 * c + 1];
  }
  counts.left_out = sample_count - counted;
  if (strata != nullptr && stratum_count > 0) {
    counts.strata = stratum_count;
    counts.stratum_tables.assign(static_cast<std::size_t>(stratum_count) * table.size(), 0);
    std::vector<std::vector<int>> members(static_cast<std::size_t>(stratum_count));
    for (const int s : samples) {
      if (strata[s] >= 0) members[static_cast<std::size_t>(strata[s])].push_back(s);
    }
    for (int st = 0; st < stratum_count; ++st) {
      int stratum_cases = 0;
      int stratum_controls = 0;
      std::vector<int>& in_stratum = members[static_cast<std::size_t>(st)];
      countTable_none(multipliers.data(), offsets.data(), k, counts.base, in_stratum.data(),
                      static_cast<int>(in_stratum.size()), columns.data(), k, classes.data(), sample_count,
                      &stratum_cases, &stratum_controls, nullptr, nullptr,
                      counts.stratum_tables.data() + static_cast<std::size_t>(st) * table.size());
    }
  }
  return counts;
}

std::string cellChartSvg(const CellChart& chart) {
  ChartScale scale;
  long cases = 0;
  long controls = 0;
  for (std::size_t c = 0; c < chart.counts.cases.size(); ++c) {
    scale.tallest = std::max({scale.tallest, chart.counts.cases[c], chart.counts.controls[c]});
    cases += chart.counts.cases[c];
    controls += chart.counts.controls[c];
  }
  scale.overall_ratio = controls > 0 ? static_cast<double>(cases) / controls : 1e300;
  return chart.names.size() == 2 ? gridSvg(chart, scale) : rowSvg(chart, scale);
}

std::string cellChartPath(const std::string& report_file, int order) {
  return report_file + ".order" + std::to_string(order) + ".svg";
}

std::string noCombinationSvg(int order) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"480\" "
         "height=\"80\" viewBox=\"0 0 480 80\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"14\">\n"
         "<rect x=\"0\" y=\"0\" width=\"480\" height=\"80\" fill=\"white\"/>\n"
         "<text x=\"240\" y=\"45\" text-anchor=\"middle\">order " +
         std::to_string(order) + ": no combination was kept, so there is no chart</text>\n</svg>\n";
}

std::string writeCellCharts(const std::string& report_file, MDRResult* const* results,
                            char* const* marker_names, const ChartData& data, OutputFileSet& files) {
  std::string first_failure;
  const int init_order = results[0]->init_order;
  for (int k = init_order; k <= results[0]->max_order; ++k) {
    const MDRResult& record = *results[k - init_order];
    if (record.row_count < 1) {
      // Skipped, the chart of an earlier run on this name would stay beside
      // this run's report as if it were this run's.
      OutputFile& file = files.add();
      const bool ok = file.open(cellChartPath(report_file, k)) && file.write(noCombinationSvg(k)) && file.finish();
      if (!ok && first_failure.empty()) first_failure = file.error();
      continue;
    }
    CellChart chart;
    std::vector<int> markers(record.snp_index, record.snp_index + k);
    for (const int m : markers) chart.names.emplace_back(marker_names[m]);
    chart.ig = record.ig[0];
    chart.rig = record.rig[0];
    chart.counts = countCells(data.genotypes, data.phenotypes, data.sample_count, data.marker_count, markers,
                              data.missing_code, data.strata, data.stratum_count);
    OutputFile& file = files.add();
    const bool ok = file.open(cellChartPath(report_file, k)) && file.write(cellChartSvg(chart)) &&
                    file.finish();
    if (!ok && first_failure.empty()) first_failure = file.error();
  }
  return first_failure;
}
