#include "io/repeated_names.h"

#include "io/messages.h"

void RepeatedNames::note(const std::string& name, const std::string& place,
                         const std::string& short_place) {
  if (name.find(',') != std::string::npos && with_comma_++ == 0) first_comma_ = place + ": " + name;
  const auto [seen, is_new] = first_place_.emplace(name, short_place);
  if (is_new || repeats_++ > 0) return;
  first_repeat_ = place + ": " + name + " was already " + seen->second;
}

std::string RepeatedNames::warning(const std::string& file) const {
  std::string lines;
  if (with_comma_ > 0) {
    lines = warningLine(std::to_string(with_comma_) + " " + what_ + " of " + file + " hold a comma (first: " +
                        first_comma_ + "); the report's lines and the table's markers column are comma-separated, so such a name "
                        "reads as several there");
  }
  if (repeats_ == 0) return lines;
  return lines + warningLine(std::to_string(repeats_) + " " + what_ + " of " + file +
                     " repeat an earlier one (first: " + first_repeat_ + "); the report names markers by " +
                     word_ + ", so rename them to tell them apart");
}
