#include "io/messages.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "core/search_constants.h"

namespace {
constexpr const char* kProgramPrefix = "gorva: ";
constexpr const char* kWarningPrefix = "gorva: warning: ";

// Warnings come from the program's one thread, but a lock keeps the list
// whole should a worker ever warn.
std::mutex given_lock;
std::vector<std::string>& given() {
  static std::vector<std::string> texts;
  return texts;
}

void keep(const std::string& text) {
  const std::lock_guard<std::mutex> hold(given_lock);
  given().push_back(text);
}
}  // namespace

std::string programMessage(const std::string& text) { return kProgramPrefix + text; }

std::string programMessageText(const std::string& message) {
  const std::string prefix = kProgramPrefix;
  return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

std::string warningLine(const std::string& text) { return kWarningPrefix + text + "\n"; }

void printWarning(const std::string& text) {
  std::fputs(warningLine(text).c_str(), stderr);
  keep(text);
}

void printWarningLines(const std::string& lines) {
  std::fputs(lines.c_str(), stderr);
  const std::string prefix = kWarningPrefix;
  std::size_t start = 0;
  while (start < lines.size()) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    std::string line = lines.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
    if (!line.empty()) keep(line);
    start = end + 1;
  }
}

const std::vector<std::string>& warningsGiven() { return given(); }

void printMessage(const std::string& text) { std::fputs(programMessage(text + "\n").c_str(), stderr); }

std::string missingUnderNoneAdvice(OptionSpelling spelling) {
  // The methods that count missing data, most commonly wanted first.
  constexpr std::array<int, 5> kCountingMissing = {kMethodAvailable, kMethodComplete, kMethodMc,
                                                   kMethodImputation, kMethodEm};
  const bool python = spelling == OptionSpelling::kPython;
  std::string text = python ? "missing=\"none\" counts no missing data (use "
                            : "--missing none counts no missing data (use --missing ";
  for (std::size_t i = 0; i < kCountingMissing.size(); ++i) {
    if (i > 0) text += i + 1 == kCountingMissing.size() ? " or " : ", ";
    const std::string word(kMissingWords[kCountingMissing[i] - kMethodNone]);
    text += python ? "\"" + word + "\"" : word;
  }
  return text + ")";
}

std::string shownText(std::string_view text, std::size_t longest) {
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  std::string shown(text.substr(0, longest));
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) c = '?';
  }
  return text.size() > longest ? shown + "..." : shown;
}
