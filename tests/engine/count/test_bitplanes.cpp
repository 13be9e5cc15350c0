// The bit-planes against a sample-by-sample reading of the byte matrix:
// every listed sample's bit sits in its class block at its place in the
// list, set in exactly the row of its code; marginals, completeness and the
// everyone row agree; threads change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "engine/count/bitplanes.h"

namespace {

struct Data {
  int markers = 0;
  int samples = 0;
  std::vector<unsigned char> genotypes;  // marker-major
  std::vector<unsigned char> phenotypes;
  std::vector<int> listed;  // increasing
};

// Codes 0-3 (3 missing unless it is a level) with `missing` of them 3;
// every marker but the complete ones has some; phenotype codes other than 1
// are controls.
Data randomData(std::mt19937& random, int markers, int samples, double missing) {
  Data data;
  data.markers = markers;
  data.samples = samples;
  std::uniform_int_distribution<int> level(0, 2);
  std::uniform_real_distribution<double> unit(0, 1);
  data.genotypes.resize(static_cast<std::size_t>(markers) * samples);
  for (int m = 0; m < markers; ++m) {
    const bool complete = m % 5 == 0;
    for (int s = 0; s < samples; ++s) {
      data.genotypes[static_cast<std::size_t>(m) * samples + s] =
          static_cast<unsigned char>(!complete && unit(random) < missing ? 3 : level(random));
    }
  }
  for (int s = 0; s < samples; ++s) {
    data.phenotypes.push_back(static_cast<unsigned char>(unit(random) < 0.45 ? 1 : (s % 7 == 0 ? 2 : 0)));
    if (unit(random) < 0.9) data.listed.push_back(s);
  }
  return data;
}

void buildOf(const Data& data, int levels, int threads, BitPlanes& planes) {
  EXPECT_TRUE(planes.build(data.genotypes.data(), data.markers, data.samples,
                           {data.listed.data(), static_cast<int>(data.listed.size()), data.phenotypes.data(),
                            levels, threads}));
}

bool bitAt(const std::uint64_t* row, int bit) { return (row[bit / 64] >> (bit % 64)) & 1U; }

void expectPlanesOf(const Data& data, int levels, const BitPlanes& planes) {
  const int row_words = planes.shape().rowWords();
  // Where each listed sample's bit belongs.
  std::vector<int> bit_of;
  int next[2] = {0, 64 * planes.shape().control_words};
  int class_size[2] = {0, 0};
  for (int s : data.listed) {
    const int c = data.phenotypes[s] == 1 ? 1 : 0;
    bit_of.push_back(next[c]++);
    ++class_size[c];
  }
  ASSERT_GE(64 * planes.shape().control_words, class_size[0]);
  ASSERT_GE(64 * planes.shape().case_words, class_size[1]);
  EXPECT_EQ(planes.everyoneCounts()[0], class_size[0]);
  EXPECT_EQ(planes.everyoneCounts()[1], class_size[1]);
  int everyone_bits = 0;
  for (int w = 0; w < row_words; ++w) everyone_bits += __builtin_popcountll(planes.everyone()[w]);
  EXPECT_EQ(everyone_bits, static_cast<int>(data.listed.size()));
  for (int m = 0; m < data.markers; ++m) {
    SCOPED_TRACE("marker " + std::to_string(m));
    const std::uint64_t* rows = planes.marker(m);
    std::vector<int> marginals(2 * levels, 0);
    int set_bits = 0;
    for (int l = 0; l < levels; ++l) {
      for (int w = 0; w < row_words; ++w) set_bits += __builtin_popcountll(rows[l * row_words + w]);
    }
    for (std::size_t i = 0; i < data.listed.size(); ++i) {
      const int s = data.listed[i];
      const int code = data.genotypes[static_cast<std::size_t>(m) * data.samples + s];
      EXPECT_TRUE(bitAt(planes.everyone(), bit_of[i]));
      for (int l = 0; l < levels; ++l) {
        ASSERT_EQ(bitAt(rows + l * row_words, bit_of[i]), code == l) << "sample " << s << " level " << l;
      }
      if (code < levels) ++marginals[2 * code + (data.phenotypes[s] == 1 ? 1 : 0)];
    }
    int counted = 0;
    for (int e = 0; e < 2 * levels; ++e) {
      EXPECT_EQ(planes.marginals(m)[e], marginals[e]) << "entry " << e;
      counted += marginals[e];
    }
    EXPECT_EQ(set_bits, counted) << "a bit outside the listed samples";
    EXPECT_EQ(planes.complete(m), counted == static_cast<int>(data.listed.size()));
  }
}

TEST(BitPlanes, EveryBitMarginalAndCompletenessFollowsTheByteMatrix) {
  std::mt19937 random(3);
  // Sample counts around the 64-bit word and 512-bit vector edges.
  for (int samples : {1, 63, 64, 65, 700, 1100}) {
    const Data data = randomData(random, 9, samples, 0.05);
    for (int levels : {3, 4}) {
      SCOPED_TRACE("samples " + std::to_string(samples) + " levels " + std::to_string(levels));
      BitPlanes planes;
      buildOf(data, levels, 1, planes);
      expectPlanesOf(data, levels, planes);
    }
  }
}

TEST(BitPlanes, ThreadsBuildTheSamePlanes) {
  std::mt19937 random(4);
  const Data data = randomData(random, 1500, 300, 0.02);
  BitPlanes one;
  buildOf(data, 3, 1, one);
  expectPlanesOf(data, 3, one);
  for (int threads : {2, 3, 64}) {
    BitPlanes many;
    buildOf(data, 3, threads, many);
    const long words = static_cast<long>(data.markers) * one.markerStrideWords();
    EXPECT_EQ(std::memcmp(one.marker(0), many.marker(0), words * 8), 0) << threads << " threads";
    for (int m = 0; m < data.markers; ++m) {
      ASSERT_EQ(one.complete(m), many.complete(m));
      ASSERT_EQ(std::memcmp(one.marginals(m), many.marginals(m), 6 * sizeof(int)), 0);
    }
  }
}

// The readers' two ways in (blocks of markers; blocks of data lines, held
// sample-major) give the planes of the whole matrix, and columns() gives
// back every listed sample's code.
TEST(BitPlanes, BlocksOfMarkersOrOfLinesGiveThePlanesAndTheirCodesBack) {
  std::mt19937 random(5);
  const Data data = randomData(random, 600, 130, 0.05);
  std::vector<unsigned char> by_sample(data.genotypes.size());
  for (int m = 0; m < data.markers; ++m)
    for (int s = 0; s < data.samples; ++s)
      by_sample[static_cast<std::size_t>(s) * data.markers + m] = data.genotypes[static_cast<std::size_t>(m) * data.samples + s];
  const int listed = static_cast<int>(data.listed.size());
  for (int levels : {3, 4}) {
    SCOPED_TRACE("levels " + std::to_string(levels));
    BitPlanes markers;
    ASSERT_TRUE(markers.prepare(data.markers, data.listed.data(), listed, data.phenotypes.data(), levels));
    for (int first = 0; first < data.markers; first += 257) {
      const int count = std::min(257, data.markers - first);
      markers.fillMarkers(GenotypeView::markerMajor(&data.genotypes[static_cast<std::size_t>(first) * data.samples],
                                                    data.samples),
                          first, count, 2);
    }
    expectPlanesOf(data, levels, markers);
    BitPlanes lines;
    ASSERT_TRUE(lines.prepare(data.markers, data.listed.data(), listed, data.phenotypes.data(), levels));
    for (int first = 0; first < data.samples; first += 17) {
      const int count = std::min(17, data.samples - first);
      lines.fillSamples(GenotypeView{&by_sample[static_cast<std::size_t>(first) * data.markers], data.markers, 1},
                        first, count, 2);
    }
    lines.finishSamples(2);
    expectPlanesOf(data, levels, lines);
    std::vector<int> every(data.markers);
    for (int m = 0; m < data.markers; ++m) every[m] = m;
    const std::vector<unsigned char> codes = lines.columns(every.data(), data.markers, data.samples);
    for (int m = 0; m < data.markers; ++m)
      for (const int s : data.listed)
        ASSERT_EQ(codes[static_cast<std::size_t>(m) * data.samples + s],
                  data.genotypes[static_cast<std::size_t>(m) * data.samples + s]);
  }
}

}  // namespace
