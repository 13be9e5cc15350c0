// A search context over a data set of the independent model, as the
// engine's own tests prepare it.
#ifndef GORVA_TESTS_SUPPORT_SEARCH_DATA_H
#define GORVA_TESTS_SUPPORT_SEARCH_DATA_H

#include <vector>

#include "engine/rank/search_context.h"
#include "support/oracle.h"

// The context reads a private copy of the data's arrays, which imputation
// rewrites; they live as long as the context.
struct SearchData {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<double> scores;
  SearchContext context;

  SearchData(const Dataset& data, int method)
      : genotypes(data.genotypeBytes()), phenotypes(data.phenotypeBytes()), scores(data.samples()) {
    prepareSearchContext(genotypes.data(),
                         {phenotypes.data(), scores.data(), data.samples(), data.markers(), 1, method}, context);
  }
  SearchData(const SearchData&) = delete;
  SearchData& operator=(const SearchData&) = delete;
};

#endif  // GORVA_TESTS_SUPPORT_SEARCH_DATA_H
