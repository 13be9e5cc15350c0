// Fuzz target: the option value parser. The input is one value text (cut at
// the first NUL), read as a whole number in a range taken from its first
// bytes and as a real number.
//
// Invariants, each against a reading written apart from the parser:
// - a whole number is accepted exactly when the text is an optional sign and
//   digits whose value (computed in 128 bits) lies in the range, and then it
//   is that value;
// - a real number is accepted only when strtod reads the whole text to a
//   finite value, and then it is strtod's value;
// - every refusal names the option and the value it was given.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "io/option_values.h"

namespace {

using fuzz::require;

// The text's value when it is a sign and digits that fit 128 bits with room.
bool modelWhole(const std::string& text, __int128& value) {
  std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i == text.size()) return false;
  __int128 magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (magnitude < (static_cast<__int128>(1) << 100)) magnitude = magnitude * 10 + (text[i] - '0');
  }
  value = text[0] == '-' ? -magnitude : magnitude;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // Two bytes choose the range among the ones the options use.
  constexpr long long kLows[] = {0, 1, INT32_MIN, LLONG_MIN};
  constexpr long long kHighs[] = {1, 4096, INT32_MAX, 0xffffffffLL, LLONG_MAX};
  const long long low = kLows[data[0] % 4];
  const long long high = kHighs[data[1] % 5];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.substr(0, text.find('\0'));

  long long value = 7;
  const bool accepted = readWholeNumber(text, low, high, value);
  __int128 model = 0;
  const bool model_accepts = modelWhole(text, model) && model >= low && model <= high;
  require(accepted == model_accepts, "whole number accepted exactly when the model accepts");
  require(!accepted || static_cast<__int128>(value) == model, "whole number's value");
  require(accepted || value == 7, "a refused whole number leaves the value");

  const std::string refusal = wholeNumberRefusal("--opt", text, low, high);
  require(refusal.empty() == accepted, "a refusal exactly when refused");
  require(refusal.empty() || refusal.rfind("--opt " + text + ": ", 0) == 0, "the refusal names option and value");

  double real = 0.5;
  if (readRealNumber(text, real)) {
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    require(end == text.c_str() + text.size(), "strtod reads the whole accepted text");
    require(std::isfinite(real) && real == expected, "real number's value");
  } else {
    require(real == 0.5, "a refused real number leaves the value");
  }

  const std::string order = orderRangeRefusal("--order " + text, low, high, 30);
  require(order.empty() == (low <= high && low >= 1 && high <= 30), "order range refused exactly outside 1..markers");
  return 0;
}
