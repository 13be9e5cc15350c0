// The fast path's own road from the input to the bit-planes, a block of
// markers at a time, without the byte matrix: the road of every run that
// does not need that matrix, and the only one past 2^31 - 1 genotypes.
#ifndef GORVA_APP_PLANES_ROAD_H
#define GORVA_APP_PLANES_ROAD_H

#include <functional>

#include "engine/count/plane_blocks.h"
#include "io/file_safety.h"


// What decides the road.
struct PlanesRoadRequest {
  bool fast_engine = true;  // not --engine plain
  int missing_code = 0;
  bool charts = false;      // --plot draws its cells from the byte matrix
  bool text = false;        // a text data file, read by lines
  bool subset = false;      // sample or marker options
  int highest_order = 1;    // the run's highest order that has combinations
};

// Whether the run can take the planes road.
bool planesRoadServes(const PlanesRoadRequest& request);

// Why a run past the matrix's index must take the planes road, and how.
const char* planesRoadRefusal(bool text);

// Reads every marker of the run once, in order, block_markers at a time
// into `codes` (marker-major over the run's samples), calling
// filled(first, end) as each block is complete; false when the input could
// not be read. Both readers' readInBlocks() serve.
using BlockFilled = std::function<void(int first, int end)>;
using BlockPass = std::function<bool(unsigned char* codes, int block_markers, const BlockFilled& filled)>;

// A text data file already counted and checked.
struct TextRows {
  const char* file_name = nullptr;
  int sample_count = 0;
  int column_count = 0;      // markers + 1
  int phenotype_column = 1;  // from 1
  FileStamp stamp;           // the file as its checks read it
};

// kChanged: the text file was no longer the file its checks read.
enum class PlanesRoadStatus { kSearched, kReadFailed, kOutOfMemory, kChanged };

#endif  // GORVA_APP_PLANES_ROAD_H
