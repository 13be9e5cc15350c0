#include "app/helper.h"

#include <cstdio>
#include <cstdlib>

#include "app/text_to_int.h"

CArgs::CArgs(int argc, char** argv) : words_(argv, argv + argc), count_(argc) {}

int CArgs::valueIndex(const std::string& name) const {
  for (int i = 0; i < count_; ++i) {
    if (words_[i] == name) return i + 1 < count_ ? i + 1 : -1;
  }
  return -1;
}

bool CArgs::find(std::string name) {
  for (const std::string& word : words_) {
    if (word == name) return true;
  }
  return false;
}

std::string CArgs::value(std::string name) {
  const int index = valueIndex(name);
  if (index < 0) error("Missing an argument for " + name);
  return words_[index];
}

int CArgs::value_int(std::string name) { return textToInt(value(name)); }

std::vector<std::string> CArgs::laterValues(const std::string& name) const {
  std::vector<std::string> values;
  bool first = true;
  for (int i = 0; i + 1 < count_; ++i) {
    if (words_[i] != name) continue;
    if (!first) values.push_back(words_[i + 1]);
    first = false;
  }
  return values;
}

std::string CArgs::get_string() {
  std::string line;
  for (const std::string& word : words_) {
    line += word;
    line += ' ';
  }
  return line;
}

void error(std::string message) {
  std::fprintf(stderr, "\nERROR: %s\n", message.c_str());
  std::exit(1);
}
