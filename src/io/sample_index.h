// sample_index.h: how the lines of PLINK's sample files name the samples of
// an input: by FID and IID (PLINK), or by the IID alone (text, VCF).
#ifndef GORVA_IO_SAMPLE_INDEX_H
#define GORVA_IO_SAMPLE_INDEX_H

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io/sample_ids.h"

// Positions of the input's samples by the key a file line names them with.
class SampleIndex {
 public:
  explicit SampleIndex(const SubsetInput& input) : match_family_(input.match_family) {
    for (std::size_t s = 0; s < input.samples.size(); ++s) {
      positions_[key(input.samples[s].fid, input.samples[s].iid)].push_back(static_cast<int>(s));
    }
  }
  std::string key(std::string_view fid, std::string_view iid) const {
    return match_family_ ? std::string(fid) + '\t' + std::string(iid) : std::string(iid);
  }
  // The fields naming a sample: FID IID, or for inputs matched by IID a
  // line of the IID alone. Empty when the line has too few fields.
  std::string keyOf(const std::vector<std::string_view>& fields) const {
    if (fields.size() >= 2) return key(fields[0], fields[1]);
    return match_family_ ? std::string() : std::string(fields[0]);
  }
  const std::vector<int>* find(const std::string& sample_key) const {
    const auto found = positions_.find(sample_key);
    return found == positions_.end() ? nullptr : &found->second;
  }
  const char* layout() const { return match_family_ ? "FID IID" : "FID IID, or the IID alone"; }

 private:
  bool match_family_;
  std::unordered_map<std::string, std::vector<int>> positions_;
};

#endif  // GORVA_IO_SAMPLE_INDEX_H
