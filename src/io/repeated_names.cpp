#include "io/repeated_names.h"

#include "io/messages.h"

void RepeatedNames::note(const std::string& name, const std::string& place,
                         const std::string& short_place) {
  const auto [seen, is_new] = first_place_.emplace(name, short_place);
  if (is_new || repeats_++ > 0) return;
  first_repeat_ = place + ": " + name + " was already " + seen->second;
}

std::string RepeatedNames::warning(const std::string& file) const {
  if (repeats_ == 0) return "";
  return warningLine(std::to_string(repeats_) + " " + what_ + " of " + file +
                     " repeat an earlier one (first: " + first_repeat_ + "); the report names markers by " +
                     word_ + ", so rename them to tell them apart");
}
