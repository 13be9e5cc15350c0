// The AND + popcount kernels of the fast search, one per instruction set,
// and the path the CPU runs best, asked once at run time (path_kernels.h
// holds every kernel of a path). The instruction sets of each path are
// named in simd_targets.h.
#ifndef GORVA_ENGINE_COUNT_KERNEL_DISPATCH_H
#define GORVA_ENGINE_COUNT_KERNEL_DISPATCH_H

#include <cstdint>

// Words of one bit row: the controls' block first, then the cases' block,
// each zero-padded to a multiple of the words the planes were built for
// (8, one 512-bit vector, unless a builder asked for fewer).
struct PlaneShape {
  int control_words = 0;
  int case_words = 0;
  int rowWords() const { return control_words + case_words; }
};

// One counting request. For each last marker m < marker_count (its level
// rows start at planes + m * marker_stride_words), each row r < row_count of
// `rows` and each level l < level_count:
//   counts[m * counts_per_marker + 2 * (r + l * level_step) + c]
//     = popcount(rows[r] AND level row l of m) over the words of class c
// (c = 0 controls, 1 cases): the cells of consecutive rows are consecutive.
// Rows are rowWords() apart in both arrays. Entries with l >= level_count
// are not written.
struct CountRequest {
  const std::uint64_t* rows = nullptr;
  int row_count = 0;
  const std::uint64_t* planes = nullptr;
  int marker_count = 0;
  long marker_stride_words = 0;
  int level_count = 0;
  int level_step = 0;
  int counts_per_marker = 0;
  std::uint32_t* counts = nullptr;
};

using CountCellsKernel = void (*)(const CountRequest& request, const PlaneShape& shape);

enum class SimdPath { kScalar = 0, kAvx2 = 1, kAvx512 = 2 };
constexpr int kSimdPathCount = 3;

// "scalar", "avx2", "avx512".
const char* simdPathName(SimdPath path);

// Whether this CPU can run the path (scalar always; AVX2; AVX-512 needs
// F, BW and VPOPCNTDQ). The CPU is asked once.
bool simdPathSupported(SimdPath path);

// The path new search settings start from: the best supported one, or the
// one the test-only environment variable GORVA_SIMD names (read once; an
// unsupported or unknown name is ignored). Fixed for the process; a caller
// that wants another path for one search sets SearchSettings::simd.
SimdPath activeSimdPath();

// The words each class block of a row must be a multiple of for the path's
// count kernel (its vector width): 1 scalar, 4 AVX2, 8 AVX-512. Planes of
// small sample sets padded only this far count fewer words.
int rowWordMultiple(SimdPath path);
// Whether the path's count kernel can count planes of this shape.
bool countsShape(SimdPath path, const PlaneShape& shape);

// The loop the scalar and AVX2 kernels share: for every marker, row and
// level, the control and case counts of one cell from
// count(row_part, level_part, words). Always inlined, so that a kernel
// compiled for a wider instruction set inlines its own `count` into it.
template <class CountWords>
__attribute__((always_inline)) inline void countCellsWith(const CountRequest& q,
                                                          const PlaneShape& shape,
                                                          CountWords count) {
  const int row_words = shape.rowWords();
  const int control_words = shape.control_words;
  for (int m = 0; m < q.marker_count; ++m) {
    const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
    std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
    for (int r = 0; r < q.row_count; ++r) {
      const std::uint64_t* row = q.rows + static_cast<long>(r) * row_words;
      for (int l = 0; l < q.level_count; ++l) {
        const std::uint64_t* level = levels + static_cast<long>(l) * row_words;
        std::uint32_t* cell = out + 2 * (r + l * q.level_step);
        cell[0] = count(row, level, control_words);
        cell[1] = count(row + control_words, level + control_words, shape.case_words);
      }
    }
  }
}

// The per-path implementations (kernels_*.cpp); the scalar path runs the
// POPCNT version where the CPU has the instruction.
void countCellsScalar(const CountRequest& request, const PlaneShape& shape);
void countCellsScalarPopcnt(const CountRequest& request, const PlaneShape& shape);
void countCellsAvx2(const CountRequest& request, const PlaneShape& shape);
void countCellsAvx512(const CountRequest& request, const PlaneShape& shape);

#endif  // GORVA_ENGINE_COUNT_KERNEL_DISPATCH_H
