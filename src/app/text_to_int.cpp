#include "app/text_to_int.h"

#include <climits>
#include <cstdlib>

int textToInt(const std::string& text) {
  // strtol reads what atoi reads and saturates a long; the rest is the clamp.
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
