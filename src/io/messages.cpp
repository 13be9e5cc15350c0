#include "io/messages.h"

#include <cstdio>

namespace {
constexpr const char* kProgramPrefix = "gorva: ";
}  // namespace

std::string warningLine(const std::string& text) {
  return std::string(kProgramPrefix) + "warning: " + text + "\n";
}

void printWarning(const std::string& text) { std::fputs(warningLine(text).c_str(), stderr); }

void printRefusal(const std::string& text) {
  std::fputs((kProgramPrefix + text + "\n").c_str(), stderr);
}
