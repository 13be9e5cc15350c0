// Cell charts: for the best combination of each order, its multi-locus
// genotype cells drawn as bars of cases and controls (an SVG file beside the
// report), the picture users of this field know from MDR tools.
#ifndef GORVA_APP_PLOT_H
#define GORVA_APP_PLOT_H

#include <string>
#include <vector>

#include "io/output_file_set.h"

class MDRResult;

// Case and control counts per genotype cell of one combination. Cell c of
// markers m0..mk-1 is g0 + g1*base + ... + gk-1*base^(k-1) (the first marker
// is the lowest digit), as in the search's count tables.
struct CellCounts {
  int base = 3;               // 4 when a missing genotype is a level of its own ("mc")
  std::vector<int> cases;     // base^k entries
  std::vector<int> controls;  // base^k entries
  int left_out = 0;           // samples that fall into no cell
  // In a stratified run, each stratum's table (strata x base^k x 2 ints:
  // controls, cases), which its test adds up; empty otherwise.
  int strata = 0;
  std::vector<int> stratum_tables;
};

// Counts the cells of `markers` as the search sees them after it has run:
// phenotypes are 1 for a case and 0 for a control; `missing_code` is the
// missing-data method code (1 "none" ... 6 "em"). Under "mc" code 3 is the
// fourth level; under "complete" only samples without any missing genotype
// count; under every other method a sample missing at one of the markers is
// left out (the assignments of "em" are not drawn).
// `strata` (a stratum index from 0 per sample, `stratum_count` of them), when
// given, fills the counts' stratum tables too.
CellCounts countCells(const unsigned char* genotypes, const unsigned char* phenotypes,
                      int sample_count, int marker_count, const std::vector<int>& markers,
                      int missing_code, const int* strata = nullptr, int stratum_count = 0);

// What one chart shows.
struct CellChart {
  std::vector<std::string> names;  // the combination's marker names, in its order
  double ig = 0;
  double rig = 0;
  CellCounts counts;
};

// The chart as a standalone SVG document. Two markers are drawn as the
// classic grid (rows: first marker, columns: second marker); any other order
// as one row of cells (from order 4 on, the empty cells are left out).
std::string cellChartSvg(const CellChart& chart);

// What the chart file of an order that kept no combination holds instead.
std::string noCombinationSvg(int order);

// The chart file of order k: "<report>.order<k>.svg".
std::string cellChartPath(const std::string& report_file, int order);

// The data the charts count, as countCells takes it.
struct ChartData {
  const unsigned char* genotypes = nullptr;
  const unsigned char* phenotypes = nullptr;
  int sample_count = 0;
  int marker_count = 0;
  int missing_code = 0;
  const int* strata = nullptr;  // a stratified run's stratum per sample, else null
  int stratum_count = 0;
};

// Writes the chart of the rank-1 combination of every order that kept a
// row into `files`, which publishes them with the run's other results. Runs
// after the search, on its data. Returns "" when every chart was written, else the
// "gorva: FILE: cannot write: REASON" of the first that was not.
std::string writeCellCharts(const std::string& report_file, MDRResult* const* results,
                            char* const* marker_names, const ChartData& data, OutputFileSet& files);

#endif  // GORVA_APP_PLOT_H
