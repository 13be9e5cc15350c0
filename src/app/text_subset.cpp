#include "app/text_subset.h"

#include <string>
#include <vector>

SubsetInput textSubsetInput(const char* input_file, MdrReader& reader, int sample_count, int column_count,
                            int phenotype_column) {
  SubsetInput input;
  input.name = input_file;
  input.numbered = true;
  for (int s = 1; s <= sample_count; ++s) input.samples.push_back({std::to_string(s), std::to_string(s)});
  const int marker_count = column_count - 1;
  std::vector<char> buffers(static_cast<std::size_t>(marker_count > 0 ? marker_count : 1) * kFieldTextBuffer, '\0');
  std::vector<char*> names;
  for (int m = 0; m < marker_count; ++m) names.push_back(buffers.data() + static_cast<std::size_t>(m) * kFieldTextBuffer);
  reader.Reset();
  reader.SetFieldLimit(column_count);
  reader.ReadHeader(names.data(), phenotype_column - 1);
  for (const char* name : names) input.markers.emplace_back(name);
  reader.Reset();
  return input;
}

TextPlace firstMissingInSubset(MdrReader& reader, int sample_count, int column_count, int phenotype_column,
                               const Subset& subset) {
  const int marker_count = column_count - 1;
  std::vector<unsigned char> row(marker_count > 0 ? marker_count : 1);
  unsigned char phenotype = 0;
  TextPlace place;
  reader.Reset();
  reader.SetFieldLimit(column_count);
  reader.ReadHeader();
  std::size_t next = 0;  // the next kept sample
  for (int s = 0; s < sample_count && next < subset.samples.size() && place.line == 0; ++s) {
    reader.ReadLine(row.data(), &phenotype, phenotype_column - 1, 0, 1);
    if (subset.samples[next] != s) continue;
    ++next;
    for (const int m : subset.markers) {
      if (row[m] != 3) continue;
      place.line = s + 2;
      place.column = m + (m < phenotype_column - 1 ? 1 : 2);
      break;
    }
  }
  reader.Reset();
  return place;
}
