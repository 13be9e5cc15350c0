// What every fuzz target of the project shares: stopping on a broken
// invariant, arrays with guard bytes behind them, and a scratch location.
#ifndef GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H
#define GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

// A byte array with guard bytes behind its `size` cells, zero-filled as the
// driver fills its arrays.
struct Guarded {
  std::vector<unsigned char> bytes;
  std::size_t size;
  explicit Guarded(std::size_t cells) : bytes(cells + kGuardBytes, kGuard), size(cells) {
    std::memset(bytes.data(), 0, cells);
  }
  bool guardsIntact() const {
    for (std::size_t i = size; i < bytes.size(); ++i) {
      if (bytes[i] != kGuard) return false;
    }
    return true;
  }
};

// Writes a mkstemp/mkdtemp pattern "<base>/<stem>-XXXXXX" into `pattern`,
// on memory-backed /dev/shm where there is one: every input is written out.
inline void scratchPattern(char* pattern, std::size_t size, const char* stem) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::snprintf(pattern, size, "%s/%s-XXXXXX", base, stem);
}

}  // namespace fuzz

#endif  // GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H
