// file_safety.cpp: file types and identities by stat, paths by the
// file system library.
#include "io/file_safety.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace {

// What a file that is not a regular file is, in a user's words.
const char* fileKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO or pipe";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

struct Identity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string resolved;  // empty when the path cannot be resolved
};

Identity identify(const std::string& path) {
  Identity identity;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    identity.exists = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
  }
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (!error) identity.resolved = resolved.string();
  return identity;
}

bool sameFile(const Identity& a, const Identity& b) {
  if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
  return !a.resolved.empty() && a.resolved == b.resolved;
}

}  // namespace

std::string refuseIrregularInputs(const std::vector<RunFile>& inputs) {
  for (const RunFile& input : inputs) {
    struct stat info {};
    if (input.path.empty() || ::stat(input.path.c_str(), &info) != 0) continue;
    if (S_ISREG(info.st_mode)) continue;
    return input.path + ": " + input.role + " is " + fileKind(info.st_mode) +
           ", not a regular file; it is read twice, so give the path of a file on disk";
  }
  return "";
}

std::string refuseOutputOverInput(const std::vector<RunFile>& inputs,
                                  const std::vector<RunFile>& outputs) {
  std::vector<Identity> input_identities;
  input_identities.reserve(inputs.size());
  for (const RunFile& input : inputs) input_identities.push_back(identify(input.path));
  for (const RunFile& output : outputs) {
    if (output.path.empty()) continue;
    const Identity identity = identify(output.path);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      if (inputs[i].path.empty() || !sameFile(identity, input_identities[i])) continue;
      return output.path + " (" + output.role + ") is the same file as " + inputs[i].path +
             " (" + inputs[i].role + "); a run never writes over its input, so choose another " +
             output.option;
    }
  }
  return "";
}
