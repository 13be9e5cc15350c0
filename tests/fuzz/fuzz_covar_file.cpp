// Fuzz target: the bytes of a --covar file (see sample_file_fuzzing.h).
#include "sample_file_fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz::fuzzSampleFile(fuzz::SampleFileKind::kCovar, data, size);
}
