#include "io/option_values.h"

#include <climits>
#include <cmath>
#include <cstdlib>

bool readWholeNumber(std::string_view text, long long low, long long high, long long& value) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
  if (i == text.size()) return false;
  // Accumulated as a negative number, whose range holds LLONG_MIN too.
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (magnitude < (LLONG_MIN + digit) / 10) return false;
    magnitude = magnitude * 10 - digit;
  }
  if (!negative && magnitude == LLONG_MIN) return false;
  const long long number = negative ? magnitude : -magnitude;
  if (number < low || number > high) return false;
  value = number;
  return true;
}

bool readRealNumber(std::string_view text, double& value) {
  if (text.empty() || text.size() > 64) return false;
  const char first = text[0];
  if (!(first == '-' || first == '+' || first == '.' || (first >= '0' && first <= '9'))) return false;
  const std::string copy(text);
  char* end = nullptr;
  const double number = std::strtod(copy.c_str(), &end);
  // Hexadecimal floats and the words inf and nan are strtod's, not a user's numbers.
  if (end != copy.c_str() + copy.size() || copy.find_first_of("xXnN") != std::string::npos) return false;
  // ERANGE also marks a number below the smallest normal double (1e-320, a
  // --max-p a user may write), which strtod still gives as the nearest
  // subnormal; only an overflow, read as inf, is no number here.
  if (!std::isfinite(number)) return false;
  value = number;
  return true;
}

std::string wholeNumberRange(long long low, long long high) {
  return "not a whole number " + (high == LLONG_MAX ? "at least " + std::to_string(low)
                                                    : "from " + std::to_string(low) + " to " + std::to_string(high));
}

std::string wholeNumberRefusal(const std::string& name, const std::string& text, long long low,
                               long long high) {
  long long value = 0;
  if (readWholeNumber(text, low, high, value)) return "";
  return name + " " + text + ": " + wholeNumberRange(low, high);
}

std::string orderRangeRefusal(const std::string& spelled, long long first, long long last,
                              long long markers, const std::string& example) {
  if (first > last) {
    return spelled + ": the first order " + std::to_string(first) + " is above the last " +
           std::to_string(last) + " (for example " + example + ")";
  }
  if (markers == 0) return spelled + ": the data hold no marker, so there is no combination of any order";
  if (first < 1 || last > markers) {
    return spelled + ": the orders must lie from 1 to " + std::to_string(markers) +
           ", the number of markers";
  }
  return "";
}
