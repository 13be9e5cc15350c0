// The words of the command line and the questions option parsing asks of them.
#ifndef GORVA_APP_HELPER_H
#define GORVA_APP_HELPER_H

#include <string>
#include <vector>

class CArgs {
 public:
  CArgs(int argc, char** argv);

  // True when some word (the program name included) equals name exactly.
  bool find(std::string name);
  // The word after the first word equal to name; calls error() when there is none.
  std::string value(std::string name);
  // value(), converted by textToInt (app/text_to_int.h).
  int value_int(std::string name);
  // The words after every occurrence of name but the first (a repeated
  // option's values that value() passes over).
  std::vector<std::string> laterValues(const std::string& name) const;
  // Every word followed by one blank, the program name first.
  std::string get_string();

 private:
  // The index of the word after the first occurrence of name, or -1.
  int valueIndex(const std::string& name) const;

  std::vector<std::string> words_;
  int count_;
};

// Writes "\nERROR: " and the message to the error stream and exits with status 1.
[[noreturn]] void error(std::string message);

#endif  // GORVA_APP_HELPER_H
