// gorva.h: the exported numerical core of GORVA and its statistics toolkit.
//
// Conventions, once for the whole header:
// - Plain functions over caller-owned arrays. A function writes its results
//   into arrays that the caller supplies and sized; it allocates only private
//   working storage and releases it before returning. Nothing here prints.
// - The batch-level routines (combSNP, mdrCombinationAll, sampleCombSNP,
//   generateNull, pvalueVector) take even their scalar inputs by address.
// - Genotype data is one byte per (marker, sample), marker-major: the code of
//   marker m for sample s sits at m * S + s, S being the samples per marker.
//   Codes 0, 1, 2 are genotype classes, 3 marks a missing genotype.
// - Phenotype bytes are 1 for a case and 0 for a control.
// - A count table for k markers has 2 * base^k int counters: entry 2c counts
//   the controls of genotype cell c, entry 2c + 1 its cases. The cell of a
//   sample is g0 + g1*base + ... (first marker of the combination is the
//   least significant digit). base is 3, or 4 under the "mc" method.
// - Missing-data method codes: 1 none, 2 mc, 3 complete, 4 available,
//   5 imputation, 6 em.
// - A measure pair is two doubles: IG (information gain, bits), then RIG
//   (IG divided by the phenotype entropy).
// - Inputs are preconditions of the caller: the functions check nothing that
//   is not stated below.
//
// Every function keeps C++ linkage on purpose: the exported names carry their
// argument types.
#ifndef GORVA_CORE_GORVA_H
#define GORVA_CORE_GORVA_H

// The library's version. GORVA_VERSION_NUMBER grows with every release
// (major * 100 + minor), for `#if GORVA_VERSION_NUMBER >= 105`.
#define GORVA_VERSION_MAJOR 1
#define GORVA_VERSION_MINOR 5
#define GORVA_VERSION_NUMBER (GORVA_VERSION_MAJOR * 100 + GORVA_VERSION_MINOR)
#define GORVA_VERSION_TEXT_OF_(major, minor) #major "." #minor
#define GORVA_VERSION_TEXT_OF(major, minor) GORVA_VERSION_TEXT_OF_(major, minor)
// The version as text, "1.5".
#define GORVA_VERSION GORVA_VERSION_TEXT_OF(GORVA_VERSION_MAJOR, GORVA_VERSION_MINOR)

// Marks the functions the library and the program export; everything else
// they hold is hidden.
#define GORVA_EXPORT __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Combination enumeration (comb.cpp)

// Replaces the k increasing marker indices of c (drawn from n markers) by their
// lexicographic successor and returns 0. Returns 1 when c was the last
// combination; c is then "run out" (entry i holds n-k+i+1), and a run-out c
// stays as it is and keeps returning 1. k below 1 returns 1, c untouched.
GORVA_EXPORT int comb_nextstep(int k, int n, int* c);

// Hands out the next batch of at most *capacity combinations of *k markers out
// of *n, resuming from the enumeration state (k ints; all -1 = not started).
// Writes *k ints per combination into out and their number into *count
// (0 when the walk is over, when n < k, or when k or capacity is below 1).
GORVA_EXPORT void combSNP(int* k, int* n, int* capacity, int* state, int* count, int* out);

// ---------------------------------------------------------------------------
// Contingency tables and measures (mdr.cpp)

// The three counting operations share one argument list. Each adds the listed
// samples to `table` (which the caller clears); multipliers are 2, 2*base, ...
// and offsets hold marker index * S for each marker of the combination.
// countTable_none skips a sample whose code at a combination marker is not
// below `base` (so the table is never indexed past its end).
GORVA_EXPORT void countTable_none(int* multipliers, int* offsets, int k, int base, int* samples,
                     int sample_len, unsigned char* genotypes, int marker_count,
                     unsigned char* phenotypes, int S, int* cases, int* controls,
                     double* scores, double* score_sums, int* table);
// Skips every sample missing (code 3, or any higher code) at a marker of the
// combination and recounts *cases and *controls over the samples it counted;
// adds each counted sample's score to the score_sums entry of its table entry.
GORVA_EXPORT void countTable_available(int* multipliers, int* offsets, int k, int base, int* samples,
                          int sample_len, unsigned char* genotypes, int marker_count,
                          unsigned char* phenotypes, int S, int* cases, int* controls,
                          double* scores, double* score_sums, int* table);
// Hard-assignment expectation-maximisation: complete samples are counted as
// usual; each sample missing at some combination marker goes, within its
// phenotype class, to the compatible cell with the highest count (ties to the
// lowest cell), repeated from the updated counts until nothing moves (at most
// 20 rounds). Every round reads the counts the previous one left (the first:
// complete samples only). Codes of 3 or more count as missing; the missing
// digits range over 0-2. *cases, *controls and score_sums are left alone; one
// working buffer is allocated, and only when a listed sample is incomplete.
GORVA_EXPORT void countTable_EM(int* multipliers, int* offsets, int k, int base, int* samples,
                   int sample_len, unsigned char* genotypes, int marker_count,
                   unsigned char* phenotypes, int S, int* cases, int* controls,
                   double* scores, double* score_sums, int* table);

// Writes out[0] = IG and out[1] = RIG of a count table of table_len entries,
// with the caller's N, cases and controls (log base 2). score_sums, ratio and
// option are accepted and not read. One-class phenotypes (and N = 0) give NaN.
GORVA_EXPORT void calculateMeasuresAll(int N, int cases, int controls, int* table, double* score_sums,
                          int table_len, double ratio, int option, double* out);

// Scores *count combinations of *k markers (k ints each in combs) and writes
// their measure pairs to out (2 doubles per combination). *missing picks the
// counting (4 available, 6 em, anything else none; base 4 under 2 "mc").
// Under "available" N, cases and controls are recounted per combination; the
// sample list always has the caller's *N entries. Working arrays are allocated
// once per call; marker index * S must fit an int. Nothing is written when
// *count or *k is below 1; an order whose table, 2 * base^k entries, would
// not fit an int (k above 18, above 14 under mc) gets NaN pairs.
GORVA_EXPORT void mdrCombinationAll(int* combs, int* k, int* count, unsigned char* genotypes,
                       int* marker_count, unsigned char* phenotypes, double* scores, int* S,
                       int* samples, int* N, int* cases, int* controls, double* ratio,
                       int* option, int* missing, double* out);

// ---------------------------------------------------------------------------
// Index sort and comparisons (utils.cpp)

// Sorts n keys of `size` bytes indirectly: afterwards keys[index[0]], ...,
// keys[index[n-1]] are ascending for direction 1, descending otherwise. Keys
// are not modified. Shell sort over Sedgewick's gaps; the order of equal keys
// is exactly the one its passes leave (insertion sort, hence stable, for n <= 8).
// Works on a private copy of the keys (n + 1 elements); if that cannot be
// allocated it compares the keys in place instead, with the same result.
GORVA_EXPORT void shellsortIndex(int* index, void* keys, unsigned long n, unsigned long size,
                    int (*compare)(const void*, const void*), int direction);
// 1 if *a > *b, -1 if *a < *b, 0 otherwise (equal or either NaN); a, b: double*.
GORVA_EXPORT int cmp_double(const void* a, const void* b);
// 1 if *a > *b, -1 if *a < *b, else 0.
GORVA_EXPORT int cmp_int(const int* a, const int* b);
// 1 if a > b, -1 if a < b, else 0 (also for NaN).
GORVA_EXPORT int sign(double a, double b);

// ---------------------------------------------------------------------------
// Sign test and counting functions (utils.cpp). Exact for 0 <= k <= n <= 12 in
// 32-bit integers. Beyond that range the binomial coefficient is evaluated in
// double precision (rounded to the nearest integer; combinations() saturates
// at INT_MAX), so no call divides by zero or overflows. The sign tests sum
// those coefficients times 2^-n up to n = 1000; beyond, where the
// coefficient is no double, each term comes from Loader's saddle-point form
// and a tail is summed from its largest term until the rest no longer
// counts (a few thousand terms at any n): 12 or more significant digits up
// to n = INT_MAX. A sign test is never above 1. Sign-test bounds outside
// 0..n add nothing; for n < 0 both tests give 0.

// P(X >= s) for X ~ Binomial(n, 0.5); 0 when s > n.
GORVA_EXPORT double computeOneTailedSignTest(int n, int s);
// P(a <= X <= b) for X ~ Binomial(n, 0.5); 0 when a > b.
GORVA_EXPORT double signTestSummation(int n, int a, int b);
// Binomial coefficient n over k (0 for k outside 0..n).
GORVA_EXPORT int combinations(int n, int k);
// a * (a+1) * ... * b, 1 when a > b (wraps modulo 2^32 beyond int range).
GORVA_EXPORT int product(int a, int b);
// n!, 1 for n <= 1 (wraps modulo 2^32 beyond 12!).
GORVA_EXPORT int factorial(int n);

// ---------------------------------------------------------------------------
// Random numbers (rng.cpp): one process-wide MT19937, not thread-safe.

// Seeds the generator (standard MT19937 initialisation; low 32 bits used).
GORVA_EXPORT void init_rng(unsigned long seed);
// Next 32-bit number; an unseeded generator starts from seed 5489.
GORVA_EXPORT unsigned int int32_rand();

// ---------------------------------------------------------------------------
// Permutation null distribution (permutation.cpp). Random indices
// below m are int32_rand() % m.

// Fisher-Yates shuffle of n bytes in place (n - 1 draws).
GORVA_EXPORT void permuteValues(unsigned char* values, int n);
// Shuffles the bytes at the n positions of `positions` among themselves.
GORVA_EXPORT void permuteValuesByIndex(unsigned char* values, int* positions, int n);
// Moves a random selection of k of the n entries to positions 0..k-1
// (k draws); nothing happens when k > n or k < 1.
GORVA_EXPORT void permuteIndex(int* values, int n, int k);
// out[s] = sum over j of genotypes[s + offsets[j]] * multipliers[j], s < S.
GORVA_EXPORT void makeIndex(int* multipliers, int* offsets, int k, unsigned char* genotypes, int S, int* out);
// Fills out with *requested combinations of *k markers out of *n: all of them in
// lexicographic order when the request exceeds their number, otherwise that many
// independent random draws (unsorted indices, duplicates possible). *count
// receives the number written (0 when k < 1, k > n or the request is not
// positive); out needs k * requested ints.
GORVA_EXPORT void sampleCombSNP(int* k, int* n, int* requested, int* count, int* out);
// For each listed combination, *permutations times: shuffles a private copy of
// the phenotype (over all S samples), counts, and writes the measure pair to
// out[2*i], out[2*i+1] (i = *out_count, incremented). Arguments 1-15 are those
// of mdrCombinationAll. The caller's phenotype is never changed. Each
// permutation draws S - 1 numbers; *out_count ends as count * permutations
// (0, with nothing written, when k, *count or *permutations is below 1), the
// pairs NaN and nothing drawn for an order mdrCombinationAll gives NaN.
GORVA_EXPORT void generateNull(int* combs, int* k, int* count, unsigned char* genotypes, int* marker_count,
                  unsigned char* phenotypes, double* scores, int* S, int* samples, int* N,
                  int* cases, int* controls, double* ratio, int* option, int* missing,
                  int* permutations, int* out_count, double* out);
// The sorts below put values in ascending order, NaN values first.
// Quantile q of n values (linear interpolation between order statistics, an
// infinite one included); sorts values in place. NaN when a value is NaN,
// and, with values untouched, when n < 1 or q is not within 0..1.
GORVA_EXPORT double quantile(double* values, int n, double q);
// Share of the n null values that are >= statistic (a NaN null value never
// is, wherever it lies); sorts the null in place unless `sorted` is nonzero.
// NaN for a NaN statistic, and 0/0 (NaN) for an empty null.
GORVA_EXPORT double pvalue(double* null_values, int n, double statistic, int sorted);
// pvalue for each of *m statistics in one merge-like pass; out[i] belongs to
// statistics[i]. Sorts the null in place unless *sorted is nonzero. An
// empty null (*n < 1) writes nothing.
GORVA_EXPORT void pvalueVector(double* null_values, int* n, double* statistics, int* m, int* sorted,
                  double* out);

#endif  // GORVA_CORE_GORVA_H
