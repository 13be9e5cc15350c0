// The driver's planes road: the genotypes go from the input, a block of
// markers at a time, straight into the bit-planes, then to the search.
#include <algorithm>
#include <new>
#include <vector>

#include "app/planes_road.h"
#include "app/run_plan.h"
#include "app/tfmmdr.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/count/worker_threads.h"
#include "engine/rank/missingdata.h"
#include "io/FileIO.h"

namespace {

// Samples with a missing code at no marker, for "complete": one pass over
// the blocks before the planes are built.
bool findCompleteSamples(const BlockPass& pass, int marker_count, int sample_count,
                         std::vector<unsigned char>& block, std::vector<unsigned char>& complete) {
  complete.assign(sample_count, 1);
  return pass(block.data(), planesBlockMarkers(sample_count, marker_count), [&](int first, int end) {
    for (long j = 0; j < end - first; ++j) {
      const unsigned char* column = block.data() + j * sample_count;
      for (int s = 0; s < sample_count; ++s)
        if (column[s] == kMissingCode) complete[s] = 0;
    }
  });
}

}  // namespace

PlanesRoadStatus TFmMDR::searchFromBlocks(const BlockPass& pass, const SearchInput& input, int measure_idx,
                                          int option_code, MDRResult** results) {
  const int sample_count = input.sample_count;
  const int marker_count = input.marker_count;
  const int missing_code = input.missing_code;
  std::vector<unsigned char> block;
  BitPlanes planes;
  SearchContext context;
  try {
    block.resize(static_cast<std::size_t>(planesBlockMarkers(sample_count, marker_count)) * sample_count);
    const bool complete_only = missing_code == kMethodComplete;
    // The sample list of "complete" needs every marker seen first; the other
    // methods list every sample.
    SearchInput listing_input = input;
    if (complete_only) listing_input.missing_code = kMethodAvailable;
    prepareSearchContext(GenotypeView{}, listing_input, context);
    if (complete_only) {
      std::vector<unsigned char> complete;
      if (!findCompleteSamples(pass, marker_count, sample_count, block, complete))
        return PlanesRoadStatus::kReadFailed;
      std::erase_if(context.samples, [&](int s) { return complete[s] == 0; });
      recountClasses(context);
      context.missing_code = kMethodComplete;
    }
    const int threads = workerCount(settings.search.requested_threads);
    if (!planes.prepare(marker_count, context.samples.data(), context.N, context.phenotypes,
                        genotypeLevels(missing_code)))
      return PlanesRoadStatus::kOutOfMemory;
    const bool read = pass(block.data(), planesBlockMarkers(sample_count, marker_count), [&](int first, int end) {
      // A marker's mode is its own: imputing block by block is imputing the whole.
      if (missing_code == kMethodImputation) imputeMarkerModes(block.data(), end - first, sample_count);
      planes.fillMarkers(GenotypeView::markerMajor(block.data(), sample_count), first, end - first, threads);
    });
    if (!read) return PlanesRoadStatus::kReadFailed;
  } catch (const std::bad_alloc&) {
    return PlanesRoadStatus::kOutOfMemory;
  }
  std::vector<unsigned char>().swap(block);
  searchOrders(context, &planes, measure_idx, option_code, results);
  return PlanesRoadStatus::kSearched;
}

PlanesRoadStatus TFmMDR::searchFromTextRows(const TextRows& text, char** marker_names, const SearchInput& input,
                                            int measure_idx, int option_code, MDRResult** results) {
  const int sample_count = text.sample_count;
  const int marker_count = text.column_count - 1;
  const int missing_code = input.missing_code;
  unsigned char* const phenotypes = input.phenotypes;
  const int phenotype_index = text.phenotype_column - 1;
  MdrReader reader;
  if (!reader.Open(text.file_name)) {
    reread_error_ = reader.openError();
    return reader.outOfMemory() ? PlanesRoadStatus::kOutOfMemory : PlanesRoadStatus::kReadFailed;
  }
  BitPlanes planes;
  SearchContext context;
  try {
    // First the phenotypes alone (the fields up to the phenotype's), which
    // decide where each sample's bit goes.
    reader.SetFieldLimit(text.column_count);
    reader.ReadHeader(marker_names, phenotype_index);
    reader.SetFieldLimit(text.phenotype_column);
    std::vector<unsigned char> leading(std::max(phenotype_index, 1));
    for (int row = 0; row < sample_count; ++row) {
      reader.ReadLine(leading.data(), phenotypes + row, phenotype_index, 0, 1);
      reader.releaseScanned(reader.bytes() + reader.scanPosition());
    }
    prepareSearchContext(GenotypeView{}, input, context);
    if (!planes.prepare(marker_count, context.samples.data(), context.N, context.phenotypes,
                        genotypeLevels(missing_code)))
      return PlanesRoadStatus::kOutOfMemory;
    // Then the genotypes, a block of whole lines at a time, turned from rows
    // into the planes' marker rows.
    const int threads = workerCount(settings.search.requested_threads);
    const int rows_per_block = planesBlockMarkers(marker_count, sample_count);
    std::vector<unsigned char> block(static_cast<std::size_t>(rows_per_block) * marker_count);
    std::vector<unsigned char> block_phenotypes(rows_per_block);
    reader.Reset();
    reader.SetFieldLimit(text.column_count);
    reader.ReadHeader(marker_names, phenotype_index);
    for (int first = 0; first < sample_count; first += rows_per_block) {
      const int count = std::min(rows_per_block, sample_count - first);
      // A short line leaves its last markers 0, as in the byte matrix.
      std::fill(block.begin(), block.end(), 0);
      for (int r = 0; r < count; ++r) {
        reader.ReadLine(block.data(), block_phenotypes.data(), phenotype_index, r, rows_per_block);
        reader.releaseScanned(reader.bytes() + reader.scanPosition());
      }
      planes.fillSamples(GenotypeView{block.data(), 1, rows_per_block}, first, count, threads);
    }
    reader.Close();
    if (text.stamp.taken && !(stampOf(text.file_name) == text.stamp)) return PlanesRoadStatus::kChanged;
    planes.finishSamples(threads);
  } catch (const std::bad_alloc&) {
    return PlanesRoadStatus::kOutOfMemory;
  }
  searchOrders(context, &planes, measure_idx, option_code, results);
  return PlanesRoadStatus::kSearched;
}

bool TFmMDR::searchOnPlanes(RunPlan& plan, RunData& data, int case_value, int measure_idx, int option_code) {
  const int markers = plan.markerCount();
  const int samples = plan.sampleCount();
  PlanesRoadStatus status = PlanesRoadStatus::kSearched;
  try {
    status = fillAndSearch(plan, data, case_value, measure_idx, option_code);
  } catch (const std::bad_alloc&) {
    status = PlanesRoadStatus::kOutOfMemory;
  }
  if (status == PlanesRoadStatus::kChanged) {
    refuseChangedInput(plan);
    return false;
  }
  if (status == PlanesRoadStatus::kReadFailed && !plan.fromReader()) {
    refuseReread(plan, reread_error_);
    return false;
  }
  if (status == PlanesRoadStatus::kReadFailed) {
    refuse(plan.from_plink && plan.plink.outOfMemory() ? kExitNoMemory : kExitBadInput, "%s",
           (plan.from_plink ? plan.plink.error() : plan.vcf.error()).c_str());
    return false;
  }
  if (status == PlanesRoadStatus::kOutOfMemory) {
    refuse(kExitNoMemory,
           "out of memory: could not allocate the bit-planes or the search's buffers of %d markers x %d samples",
           markers, samples);
    return false;
  }
  return true;
}

PlanesRoadStatus TFmMDR::fillAndSearch(RunPlan& plan, RunData& data, int case_value, int measure_idx,
                                       int option_code) {
  const int markers = plan.markerCount();
  const int samples = plan.sampleCount();
  const SearchInput input{data.phenotypes, data.scores, samples, markers, case_value, plan.missing_code};
  if (!plan.fromReader()) {
    const TextRows text{plan.input_file, samples, plan.column_count, plan.phenotype_column, plan.input_stamp};
    return searchFromTextRows(text, data.marker_names, input, measure_idx, option_code, data.results);
  }
  plan.from_plink ? plan.plink.readLabels(data.phenotypes, data.marker_names)
                  : plan.vcf.readLabels(data.phenotypes, data.marker_names);
  const BlockPass pass = [&plan](unsigned char* codes, int block_markers, const BlockFilled& filled) {
    return plan.from_plink ? plan.plink.readInBlocks(codes, block_markers, filled)
                           : plan.vcf.readInBlocks(codes, block_markers, filled);
  };
  return searchFromBlocks(pass, input, measure_idx, option_code, data.results);
}
