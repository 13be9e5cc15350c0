// Positions in the lexicographic sequence of combinations (the combinatorial
// number system), so a worker can start a batch anywhere in the sequence.
#ifndef GORVA_ENGINE_COUNT_UNRANK_H
#define GORVA_ENGINE_COUNT_UNRANK_H

// Largest count the positions are computed for; beyond it a search walks
// its batches one after another without jumping.
constexpr long long kMaxRankedCombinations = 1LL << 62;

// The number of combinations of k out of n markers (0 when k < 0 or k > n),
// or -1 when it exceeds kMaxRankedCombinations.
long long combinationCount(int n, int k);

// Writes into out (k ints) the combination at 0-based position `rank` of the
// lexicographic sequence of k out of n. Precondition: 0 <= rank <
// combinationCount(n, k), which is not -1.
void unrankCombination(long long rank, int n, int k, int* out);

#endif  // GORVA_ENGINE_COUNT_UNRANK_H
