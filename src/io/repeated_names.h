// Marker names that repeat an earlier one: the report names markers by name,
// so two markers of one name cannot be told apart there; and names holding a
// comma, which the table's markers column joins by; names holding a blank,
// which the report joins a combination's names by; and names holding a
// carriage return, which readers of the table take for a line end. Readers
// note every name where they meet it and give one warning for all repeats,
// one for commas, one for blanks, one for carriage returns.
#ifndef GORVA_IO_REPEATED_NAMES_H
#define GORVA_IO_REPEATED_NAMES_H

#include <string>
#include <unordered_map>

class RepeatedNames {
 public:
  // `what` names the kind in the warning ("SNP ids", "marker names"), `word`
  // what the report names markers by ("id", "name").
  RepeatedNames(std::string what, std::string word) : what_(std::move(what)), word_(std::move(word)) {}

  // `place` says where the name stands ("line 3, column 2"), `short_place`
  // how a later repeat refers to it ("on line 3").
  void note(const std::string& name, const std::string& place, const std::string& short_place);

  // One warning line for every repeat of `file`, one for every name with a
  // comma, one for every name with a blank and one for every name with a
  // carriage return, or "" when there
  // is none of them.
  std::string warning(const std::string& file) const;

 private:
  std::string what_;
  std::string word_;
  std::unordered_map<std::string, std::string> first_place_;
  int repeats_ = 0;
  std::string first_repeat_;
  int with_comma_ = 0;
  std::string first_comma_;
  int with_blank_ = 0;
  std::string first_blank_;
  int with_return_ = 0;
  std::string first_return_;
};

#endif  // GORVA_IO_REPEATED_NAMES_H
