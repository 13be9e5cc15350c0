// What the versions of the chord bound share, so that they round alike.
#ifndef GORVA_ENGINE_COUNT_CHORD_TERMS_H
#define GORVA_ENGINE_COUNT_CHORD_TERMS_H

#include "engine/count/information_gain_bound_finish.h"

struct ChordBound;  // chord_information_gain_bound.h, whose versions include this

// 1 / ln 2, rounded up: the sum is in nats, the bound in bits. The rounding
// of the logarithms, the slopes and the sum (relative, far below 2^-40) is
// covered by the shifted sum's own slack.
constexpr double kBitsPerNat = kInverseLn2 * (1.0 + 0x1p-40);

// A bound's chord in single precision, rounded up.
struct ChordTerms {
  float at_q = 0;
  float below = 0;
  float above = 0;
};
ChordTerms chordTerms(const ChordBound& bound);

#endif  // GORVA_ENGINE_COUNT_CHORD_TERMS_H
