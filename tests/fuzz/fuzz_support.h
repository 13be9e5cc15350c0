// What every fuzz target of the project shares: stopping on a broken
// invariant, arrays with guard bytes behind them (and the set a reader
// fills), and a scratch file that receives each input.
#ifndef GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H
#define GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/field_scanner.h"

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

// The arrays a reader fills for `markers` x `samples`, each exactly as large
// as the counts say, with guard bytes behind it: the genotype matrix, the
// phenotypes and one name buffer per marker.
struct GuardedReadArrays {
  Guarded genotypes;
  Guarded phenotypes;
  std::vector<Guarded> names;
  std::vector<char*> name_slots;

  GuardedReadArrays(std::size_t markers, std::size_t samples)
      : genotypes(markers * samples), phenotypes(samples) {
    names.reserve(markers);
    for (std::size_t m = 0; m < markers; ++m) {
      names.emplace_back(kFieldTextBuffer);
      name_slots.push_back(reinterpret_cast<char*>(names.back().bytes.data()));
    }
  }
  const char* name(std::size_t marker) const { return name_slots[marker]; }
  // Fails unless every write stayed inside its array and every name is
  // terminated inside its buffer.
  void requireInside() const {
    require(genotypes.guardsIntact(), "write past the genotype matrix");
    require(phenotypes.guardsIntact(), "write past the phenotypes");
    for (const Guarded& buffer : names) {
      require(buffer.guardsIntact(), "write past a marker name buffer");
      require(std::memchr(buffer.bytes.data(), '\0', kFieldTextBuffer) != nullptr, "marker name without terminator");
    }
  }
};

// Writes a mkstemp/mkdtemp pattern "<base>/<stem>-XXXXXX" into `pattern`,
// on memory-backed /dev/shm where there is one: every input is written out.
inline void scratchPattern(char* pattern, std::size_t size, const char* stem) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::snprintf(pattern, size, "%s/%s-XXXXXX", base, stem);
}

// A plain buffer, not a std::string: the exit handler that removes the
// file runs after static destructors.
inline char scratch_file_path[96];

inline void removeScratchFile() { unlink(scratch_file_path); }

// The target's one scratch file, "<base>/<stem>-XXXXXX<suffix>" (a reader
// may tell formats by the name's ending), created at the first call and
// removed when the process ends.
inline const char* scratchFile(const char* stem, const char* suffix = "") {
  if (scratch_file_path[0] == '\0') {
    const std::size_t suffix_length = std::strlen(suffix);
    scratchPattern(scratch_file_path, sizeof scratch_file_path - suffix_length, stem);
    std::strcat(scratch_file_path, suffix);
    const int fd = mkstemps(scratch_file_path, static_cast<int>(suffix_length));
    if (fd < 0) fail("cannot create a scratch file");
    close(fd);
    std::atexit(removeScratchFile);
  }
  return scratch_file_path;
}

// Replaces the content of the scratch file at `path` with the input's bytes.
inline void writeScratch(const char* path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) fail("cannot write a scratch file");
  if (size > 0 && std::fwrite(data, 1, size, file) != size) fail("short write");
  if (std::fclose(file) != 0) fail("cannot close a scratch file");
}

}  // namespace fuzz

#endif  // GORVA_TESTS_FUZZ_FUZZ_SUPPORT_H
