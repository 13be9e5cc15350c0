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
  bool device_file = false;  // a character device such as /dev/null takes any number of writers
  std::string resolved;  // empty when the path cannot be resolved
};

Identity identify(const std::string& path) {
  Identity identity;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    identity.exists = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.device_file = S_ISCHR(info.st_mode);
  }
  std::error_code error;
  // Absolute first: a relative name whose parts do not exist yet would
  // otherwise stay relative while its twin through an existing folder does not.
  const std::filesystem::path resolved =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
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
    if (input.path.empty()) continue;
    if (::stat(input.path.c_str(), &info) != 0) {
      if (input.path != "-") continue;
      return "- (" + input.option + "): " + input.role +
             " cannot be standard input, which a run never reads; give the path of a file on disk "
             "(./- for a file named -)";
    }
    if (S_ISREG(info.st_mode)) continue;
    return input.path + ": " + input.role + " is " + fileKind(info.st_mode) + ", not a regular file; " +
           (input.read_twice ? "it is read twice, so give" : "give") + " the path of a file on disk";
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
             (output.named_by.empty() ? output.option
                                      : output.named_by + " (" + output.role + " is named after it)");
    }
  }
  return "";
}

std::string refuseStreamOverInput(const std::vector<RunFile>& inputs, int fd, const std::string& stream) {
  struct stat console {};
  // A terminal, a pipe or /dev/null cannot be an input (those are refused
  // as irregular); only a regular file can.
  if (::fstat(fd, &console) != 0 || !S_ISREG(console.st_mode)) return "";
  for (const RunFile& input : inputs) {
    struct stat info {};
    if (input.path.empty() || ::stat(input.path.c_str(), &info) != 0) continue;
    if (info.st_dev != console.st_dev || info.st_ino != console.st_ino) continue;
    return stream + " is the same file as " + input.path + " (" + input.role +
           "); a run never writes into its input, so send " + stream + " to another file";
  }
  return "";
}

bool isOneOf(const std::string& path, const std::vector<RunFile>& files) {
  const Identity identity = identify(path);
  for (const RunFile& file : files) {
    if (!file.path.empty() && sameFile(identity, identify(file.path))) return true;
  }
  return false;
}

std::string refuseClashingOutputs(const std::vector<RunFile>& outputs) {
  std::vector<Identity> identities;
  identities.reserve(outputs.size());
  for (const RunFile& output : outputs) identities.push_back(identify(output.path));
  for (std::size_t later = 1; later < outputs.size(); ++later) {
    if (outputs[later].path.empty()) continue;
    for (std::size_t earlier = 0; earlier < later; ++earlier) {
      if (outputs[earlier].path.empty() || identities[later].device_file ||
          !sameFile(identities[later], identities[earlier]))
        continue;
      // The advice names an option that takes a file name: --log and
      // --save_all only name their files after --out.
      const RunFile& rename = outputs[later].named_by.empty() || !outputs[earlier].named_by.empty()
                                  ? outputs[later]
                                  : outputs[earlier];
      return outputs[later].path + " (" + outputs[later].option + ", " + outputs[later].role +
             ") is the same file as " + outputs[earlier].path + " (" + outputs[earlier].option + ", " +
             outputs[earlier].role + "); one would replace the other, so give " +
             (rename.named_by.empty() ? rename.option : rename.named_by) + " a name of its own";
    }
  }
  return "";
}

FileStamp stampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return FileStamp{};
  return FileStamp{true,
                   static_cast<unsigned long long>(info.st_dev),
                   static_cast<unsigned long long>(info.st_ino),
                   static_cast<long long>(info.st_size),
                   static_cast<long long>(info.st_mtim.tv_sec),
                   static_cast<long long>(info.st_mtim.tv_nsec)};
}

std::string changedMessage(const std::string& path) {
  return path + ": the file changed during the run (it was replaced or written to after its checks), so its "
                "values cannot be trusted; run again once it is complete";
}
