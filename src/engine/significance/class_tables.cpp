#include "engine/significance/class_tables.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// A cell's count of the counted class.
inline int countedOf(const int* counted, CountedEntries entries, long cell) {
  if (counted == nullptr) return 0;
  switch (entries) {
    case CountedEntries::kControls:
      return counted[2 * cell];
    case CountedEntries::kCases:
      return counted[2 * cell + 1];
    default:
      return counted[2 * cell] + counted[2 * cell + 1];
  }
}

#if defined(__SSE2__)
// Two cells (four entries) at a time: each cell's count and total in both
// of its entries, then its own entry keeps the count, the other one the
// total less it.
template <CountedEntries kEntries>
long assembleVectors(const int* totals, const int* counted, int counted_class,
                     long cell_count, int* tables) {
  const __m128i own_entry = counted_class == 1 ? _mm_setr_epi32(0, -1, 0, -1)
                                               : _mm_setr_epi32(-1, 0, -1, 0);
  long cell = 0;
  for (; cell + 2 <= cell_count; cell += 2) {
    const __m128i entries = _mm_loadu_si128(reinterpret_cast<const __m128i*>(counted + 2 * cell));
    __m128i own;
    if constexpr (kEntries == CountedEntries::kControls) {
      own = _mm_shuffle_epi32(entries, _MM_SHUFFLE(2, 2, 0, 0));
    } else if constexpr (kEntries == CountedEntries::kCases) {
      own = _mm_shuffle_epi32(entries, _MM_SHUFFLE(3, 3, 1, 1));
    } else {
      own = _mm_add_epi32(entries, _mm_shuffle_epi32(entries, _MM_SHUFFLE(2, 3, 0, 1)));
    }
    const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(totals + cell));
    const __m128i rest = _mm_sub_epi32(_mm_unpacklo_epi32(two, two), own);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(tables + 2 * cell),
                     _mm_or_si128(_mm_and_si128(own_entry, own), _mm_andnot_si128(own_entry, rest)));
  }
  return cell;
}
#endif

}  // namespace

void cellTotals(const int* tables, long cell_count, int* totals) {
  for (long cell = 0; cell < cell_count; ++cell) totals[cell] = tables[2 * cell] + tables[2 * cell + 1];
}

void assembleClassTables(const int* totals, const int* counted, CountedEntries entries,
                         int counted_class, long cell_count, int* tables) {
  long cell = 0;
#if defined(__SSE2__)
  if (counted != nullptr) {
    switch (entries) {
      case CountedEntries::kControls:
        cell = assembleVectors<CountedEntries::kControls>(totals, counted, counted_class,
                                                          cell_count, tables);
        break;
      case CountedEntries::kCases:
        cell = assembleVectors<CountedEntries::kCases>(totals, counted, counted_class,
                                                       cell_count, tables);
        break;
      default:
        cell = assembleVectors<CountedEntries::kBoth>(totals, counted, counted_class,
                                                      cell_count, tables);
    }
  }
#endif
  for (; cell < cell_count; ++cell) {
    const int own = countedOf(counted, entries, cell);
    tables[2 * cell + counted_class] = own;
    tables[2 * cell + 1 - counted_class] = totals[cell] - own;
  }
}
