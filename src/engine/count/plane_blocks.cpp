#include "engine/count/plane_blocks.h"

#include <algorithm>

int planesBlockMarkers(long long sample_count, long long marker_count) {
  const long long fitting = kPlanesBlockBytes / std::max<long long>(sample_count, 1);
  return static_cast<int>(std::max<long long>(1, std::min(fitting, marker_count)));
}

double planesBlockBytes(long long sample_count, long long marker_count) {
  return static_cast<double>(planesBlockMarkers(sample_count, marker_count)) * static_cast<double>(sample_count);
}
