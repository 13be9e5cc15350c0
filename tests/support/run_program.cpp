#include "support/run_program.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd) {
  const std::string dir = makeTempDir();
  const std::string out_path = dir + "/stdout";
  const std::string err_path = dir + "/stderr";
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int wait_status = 0;
  struct rusage usage {};
  wait4(pid, &wait_status, 0, &usage);
  ProgramResult result;
  result.max_rss_kb = usage.ru_maxrss;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = readFile(out_path);
  result.err = readFile(err_path);
  return result;
}

ProgramResult runGorva(const std::vector<std::string>& args, const std::string& cwd) {
  return runProgram(GORVA_EXE, args, cwd);
}

ProgramResult runSimulator(const std::vector<std::string>& args, const std::string& cwd) {
  const std::string gorva = GORVA_EXE;
  return runProgram(gorva.substr(0, gorva.rfind('/') + 1) + "gorva-simulate", args, cwd);
}

ProgramResult runOnData(const std::string& dir, const std::string& data, const std::string& options) {
  writeFile(dir + "/data.txt", data);
  std::vector<std::string> args = {"--in", "data.txt", "--out", "report.txt"};
  std::istringstream words(options);
  for (std::string word; words >> word;) args.push_back(word);
  return runGorva(args, dir);
}

std::string runOnDataCommand(const std::string& options) {
  return std::string(GORVA_EXE) + " --in data.txt --out report.txt " + options + (options.empty() ? "" : " ");
}

std::string makeTempDir() {
  std::string pattern = ::testing::TempDir() + "gorva-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}
