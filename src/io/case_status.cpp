#include "io/case_status.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "io/messages.h"

namespace {

// The field as a finite decimal number; false (with `out_of_range` told
// apart) when it is none.
bool decimalValue(std::string_view field, double& value, bool& out_of_range) {
  out_of_range = false;
  if (field.size() > 1 && field[0] == '+' && field[1] != '-') field.remove_prefix(1);
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (end != field.data() + field.size() || field.empty()) return false;
  out_of_range = error == std::errc::result_out_of_range;
  return error == std::errc() && std::isfinite(value);
}

}  // namespace

int caseStatus(std::string_view field) {
  if (field == "NA") return kNoStatus;
  double value = 0;
  bool out_of_range = false;
  if (!decimalValue(field, value, out_of_range)) return out_of_range ? kQuantitativeStatus : kUnreadableStatus;
  if (value == 2.0) return 1;
  if (value == 1.0) return 0;
  if (value == 0.0 || value == -9.0) return kNoStatus;
  return kQuantitativeStatus;
}

bool isZeroStatus(std::string_view field) {
  double value = 0;
  bool out_of_range = false;
  return decimalValue(field, value, out_of_range) && value == 0.0;
}

std::string zeroCodingWarning(const std::string& file, int zeros) {
  return warningLine(file + " holds no case (2) and " + std::to_string(zeros) +
                     " phenotypes 0, which mean missing, as in PLINK: if it codes 0 = control and "
                     "1 = case, write 1 = control and 2 = case");
}
