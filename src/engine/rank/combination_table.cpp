#include "engine/rank/combination_table.h"

#include <bit>
#include <cstdint>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/path_kernels.h"

namespace {

// The rows of a triple's first two markers at most (four levels each).
constexpr int kMostPrefixRows = 16;

// A table of k markers at four levels (the last the missing genotype)
// turned into the table of its cells without a missing digit, in place.
void dropMissingLevel(int k, std::vector<int>& table) {
  const int cells = static_cast<int>(table.size()) / 2;
  int kept = 0;
  for (int cell = 0; cell < cells; ++cell) {
    bool observed = true;
    for (int rest = cell, j = 0; j < k; ++j, rest /= kMissingCode + 1) observed = observed && rest % (kMissingCode + 1) != kMissingCode;
    if (!observed) continue;
    table[2 * kept] = table[2 * cell];
    table[2 * kept + 1] = table[2 * cell + 1];
    ++kept;
  }
  table.resize(2 * static_cast<std::size_t>(kept));
}

// The table straight from the bit-planes, when they hold the method's
// cells (every method but "em", which imputes): each cell the AND of its
// markers' level rows, counted in the control words and in the case words.
// Far cheaper than turning the rows back into codes to count them; genomic
// control counts up to a million tables this way, pairs and triples with
// the search's vector kernel, higher orders with the popcount instruction
// where the CPU has it.
__attribute__((target_clones("popcnt", "default"))) bool countTableFromPlanes(const SearchContext& context, const int* combination, int k,
                          std::vector<int>& table) {
  if (context.planes == nullptr || context.missing_code == kMethodEm) return false;
  const BitPlanes& planes = *context.planes;
  const int levels = planes.levels();
  // Planes with the missing genotype as a level of its own (an "em"
  // search's) also hold the table of the samples observed at every marker,
  // which em's test reads: their cells without a missing digit.
  const bool drops_missing = context.missing_code == kMethodAvailable && levels == kMissingCode + 1;
  if (levels != genotypeLevels(context.missing_code) && !drops_missing) return false;
  constexpr int kMostCells = 1 << 12;
  int cells = 1;
  for (int j = 0; j < k && cells <= kMostCells; ++j) cells *= levels;
  if (cells > kMostCells) return false;
  const int words = planes.shape().rowWords();
  const int control_words = planes.shape().control_words;
  table.assign(2 * static_cast<std::size_t>(cells), 0);
  const int prefix_rows = cells / levels;
  if ((k == 2 || k == 3) && prefix_rows <= kMostPrefixRows) {
    // Pairs and triples, most of the tables counted here: the search's own
    // kernel counts the rows of every level of the first k - 1 markers
    // (for a triple, their ANDs) against the last marker's level rows.
    thread_local std::vector<std::uint64_t> prefix;
    const std::uint64_t* rows = planes.marker(combination[0]);
    if (k == 3) {
      prefix.resize(static_cast<std::size_t>(prefix_rows) * words);
      for (int r = 0; r < prefix_rows; ++r) {
        const std::uint64_t* a = planes.marker(combination[0]) + static_cast<long>(r % levels) * words;
        const std::uint64_t* b = planes.marker(combination[1]) + static_cast<long>(r / levels) * words;
        std::uint64_t* out = prefix.data() + static_cast<long>(r) * words;
        for (int w = 0; w < words; ++w) out[w] = a[w] & b[w];
      }
      rows = prefix.data();
    }
    std::uint32_t counts[2 * kMostPrefixRows * 4];
    CountRequest request;
    request.rows = rows;
    request.row_count = prefix_rows;
    request.planes = planes.marker(combination[k - 1]);
    request.marker_count = 1;
    request.marker_stride_words = planes.markerStrideWords();
    request.level_count = levels;
    request.level_step = prefix_rows;
    request.counts_per_marker = 2 * cells;
    request.counts = counts;
    pathKernels(context.settings.simd).count_cells(request, planes.shape());
    for (int e = 0; e < 2 * cells; ++e) table[e] = static_cast<int>(counts[e]);
    if (drops_missing) dropMissingLevel(k, table);
    return true;
  }
  thread_local std::vector<std::uint64_t> row;
  row.resize(static_cast<std::size_t>(words));
  for (int cell = 0; cell < cells; ++cell) {
    int rest = cell;
    for (int j = 0; j < k; ++j, rest /= levels) {
      const std::uint64_t* level_row =
          planes.marker(combination[j]) + static_cast<long>(rest % levels) * words;
      for (int w = 0; w < words; ++w) row[w] = j == 0 ? level_row[w] : row[w] & level_row[w];
    }
    for (int w = 0; w < words; ++w) table[2 * cell + (w < control_words ? 0 : 1)] += std::popcount(row[w]);
  }
  if (drops_missing) dropMissingLevel(k, table);
  return true;
}

}  // namespace

void countCombinationTable(const SearchContext& context, const int* combination, int k,
                           std::vector<int>& table) {
  if (countTableFromPlanes(context, combination, k, table)) return;
  // Codes seen only through a view are counted from a copy of the k columns.
  std::vector<unsigned char> own_bytes;
  const unsigned char* genotypes = context.genotypes;
  int marker_count = context.marker_count;
  std::vector<int> columns(combination, combination + k);
  if (genotypes == nullptr) {
    own_bytes = contextColumns(context, combination, k);
    genotypes = own_bytes.data();
    marker_count = k;
    for (int j = 0; j < k; ++j) columns[j] = j;
  }
  const int base = genotypeLevels(context.missing_code);
  std::vector<int> multipliers(k);
  table.assign(fillTableMultipliers(base, k, multipliers.data()), 0);
  std::vector<int> offsets(k);
  for (int j = 0; j < k; ++j) offsets[j] = columns[j] * context.sample_count;
  std::vector<double> score_sums(table.size(), 0.0);
  int cases = context.cases;
  int controls = context.controls;
  countTableFor(context.missing_code)(multipliers.data(), offsets.data(), k, base, const_cast<int*>(context.samples.data()),
        context.N, const_cast<unsigned char*>(genotypes), marker_count, context.phenotypes,
        context.sample_count, &cases, &controls, context.scores, score_sums.data(), table.data());
}
