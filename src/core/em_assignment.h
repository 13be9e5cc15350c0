// The assignment rounds of "em": each sample missing a genotype goes to the
// compatible cell (its observed genotypes, any genotype class 0-2 at its
// missing markers, its own phenotype) that holds the most samples, ties to
// the lowest table entry; every sample of a round chooses from the same
// table (the complete samples and the last round's assignments), then the
// ones whose choice changed move; rounds repeat until none moves, at most
// kEmMaxRounds. Samples of one kind (the same observed cell and missing
// markers) always choose alike, so a kind moves as one. Private to the
// program and the core; not installed.
#ifndef GORVA_CORE_EM_ASSIGNMENT_H
#define GORVA_CORE_EM_ASSIGNMENT_H

constexpr int kEmMaxRounds = 20;

struct IncompleteKind {
  int fixed;          // the table entry with the missing markers' digits at 0
  int first_missing;  // its missing markers' multipliers: from here in the shared list
  int missing_count;
  int samples;        // how many samples are of this kind
};

// Assigns the kinds' samples into `table` (which holds the complete
// samples), round by round. `missing_multipliers` holds the table
// multipliers the kinds' first_missing point into.
void assignIncompleteKinds(const IncompleteKind* kinds, int kind_count, const int* missing_multipliers,
                           int* table);

#endif  // GORVA_CORE_EM_ASSIGNMENT_H
