#include "app/reader_budget.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

std::uint64_t selectionFileNeed(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char block[1 << 16];
  std::uint64_t bytes = 0;
  std::uint64_t lines = 1;
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got <= 0) break;
    bytes += static_cast<std::uint64_t>(got);
    lines += static_cast<std::uint64_t>(std::count(block, block + got, '\n'));
  }
  ::close(fd);
  return bytes + lines * kBytesPerSelectionLine;
}

std::string refuseSelectionFilesOverBudget(const std::vector<RunFile>& files, std::uint64_t available) {
  const auto megabytes = [](std::uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB"; };
  std::uint64_t total = 0;
  std::string parts;
  for (const RunFile& file : files) {
    const std::uint64_t need = selectionFileNeed(file.path);
    total += need;
    parts += (parts.empty() ? "" : ", ") + file.option + " " + file.path + " " + megabytes(need);
  }
  if (total <= available) return "";
  return "out of memory: reading the sample and marker files needs " + megabytes(total) + " (" + parts + "), " +
         std::to_string(available >> 20) + " MB available (free memory, or give shorter files)";
}
