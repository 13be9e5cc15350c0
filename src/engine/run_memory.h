// What a run will hold in memory at its peak, worked out from the counts of
// its data before anything is allocated. A run that cannot fit is refused
// with the need and what the machine has (io/system_memory.h) instead of
// being killed half-way through the search.
#ifndef GORVA_ENGINE_RUN_MEMORY_H
#define GORVA_ENGINE_RUN_MEMORY_H

#include <cstdint>
#include <string>
#include <vector>

// The shape of a run, as the driver knows it after counting the data file.
struct RunShape {
  long long marker_count = 0;
  long long sample_count = 0;
  int init_order = 2;
  int order = 2;
  int top_k = 10;
  int threads = 0;            // 0: one worker per hardware thread
  long long file_bytes = 0;   // the data file, loaded whole again to fill the arrays
  int base = 3;               // levels of a genotype digit: 4 under "mc"
  double reader_bytes = 0;    // what a reader keeps beside the arrays (PlinkReader::bytesHeld)
  bool planes_road = false;   // codes go a block at a time into the planes: no byte matrix
  int permutations = 0;       // phenotype permutations per order (--permutations)
  std::vector<long long> stratum_samples = {};  // samples of each stratum (--strata); empty: none
  int counted_base = 0;       // levels the search's planes count, when not base: 4 under "em"
};

// The highest order whose count table (2 * base^k int counters) an int can
// index: 19 for base 3, 15 for base 4.
int highestCountableOrder(int base);

// Bytes by purpose; every figure is an upper bound of what the run holds at
// the same time.
struct MemoryNeed {
  std::uint64_t genotypes = 0;     // one byte per marker and sample
  std::uint64_t bit_planes = 0;    // markers x 4 levels x 2 classes x 64-sample words
  std::uint64_t batches = 0;       // the search's batch buffers and count tables, one set per worker
  std::uint64_t records = 0;       // result records of every order
  std::uint64_t samples_and_names = 0;  // phenotypes, scores, marker names
  std::uint64_t loaded_file = 0;   // the data file while the arrays are filled, the reader's own
  std::uint64_t permutations = 0;  // a group of permutations' planes and counters
  std::uint64_t strata = 0;        // the strata's planes, the joint rows of their pairs, their scorers
  int workers = 1;                 // threads the search starts (at most one per batch)

  std::uint64_t total() const {
    return genotypes + bit_planes + batches + records + samples_and_names + loaded_file +
           permutations + strata;
  }
};

MemoryNeed estimateRunMemory(const RunShape& shape);

// The samples of each stratum, from each sample's stratum (0 .. count - 1;
// others are in none).
std::vector<long long> samplesPerStratum(const std::vector<int>& stratum_of, int stratum_count);

// The refusal text for a run that does not fit (no program prefix), e.g.
// "data.txt: 20000 markers x 2000 samples at order 2 needs 1234 MB, 800 MB
// available (...)". MB are 2^20 bytes; the need is rounded up, the
// available memory down.
std::string memoryRefusal(const std::string& input_name, const RunShape& shape,
                          const MemoryNeed& need, std::uint64_t available);

#endif  // GORVA_ENGINE_RUN_MEMORY_H
