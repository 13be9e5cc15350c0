#include "io/repeated_names.h"

#include "io/messages.h"

void RepeatedNames::note(const std::string& name, const std::string& place,
                         const std::string& short_place) {
  if (name.find(',') != std::string::npos && with_comma_++ == 0) first_comma_ = place + ": " + name;
  if (name.find(' ') != std::string::npos && with_blank_++ == 0) first_blank_ = place + ": " + name;
  if (name.find('\r') != std::string::npos && with_return_++ == 0) first_return_ = place;
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
  if (with_blank_ > 0) {
    lines += warningLine(std::to_string(with_blank_) + " " + what_ + " of " + file + " hold a blank (first: " +
                         first_blank_ + "); the report joins a combination's names by one blank, so such a name "
                         "reads as several there");
  }
  if (with_return_ > 0) {
    lines += warningLine(std::to_string(with_return_) + " " + what_ + " of " + file +
                         " hold a carriage return (first: " + first_return_ +
                         "); pandas and R end a line of the table there, and a terminal shows the report's line "
                         "overwritten");
  }
  if (repeats_ == 0) return lines;
  return lines + warningLine(std::to_string(repeats_) + " " + what_ + " of " + file +
                     " repeat an earlier one (first: " + first_repeat_ + "); the report names markers by " +
                     word_ + ", so rename them to tell them apart");
}
