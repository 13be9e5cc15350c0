// Fuzz target: a sample or marker list. The first byte chooses the option
// (--keep, --remove, --extract, --exclude by its value modulo 4), the rest
// is the file (see sample_file_fuzzing.h).
#include "sample_file_fuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  constexpr fuzz::SampleFileKind kLists[] = {fuzz::SampleFileKind::kKeep, fuzz::SampleFileKind::kRemove,
                                             fuzz::SampleFileKind::kExtract, fuzz::SampleFileKind::kExclude};
  return fuzz::fuzzSampleFile(kLists[data[0] % 4], data + 1, size - 1);
}
