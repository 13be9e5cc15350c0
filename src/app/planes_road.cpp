#include "app/planes_road.h"

#include <algorithm>

#include "engine/count/cell_counter.h"
#include "core/search_constants.h"

bool planesRoadServes(const PlanesRoadRequest& request) {
  // A text file is read by lines: a method that needs every marker of a
  // sample before its place, or every sample of a marker before its codes,
  // and a subset cut after reading keep the byte matrix.
  const bool text_needs_matrix = request.text && (request.missing_code == kMethodComplete ||
                                                  request.missing_code == kMethodImputation || request.subset);
  // Orders whose tables the cell counter does not hold are counted from bytes.
  const bool counted_on_planes =
      CellCounter::servesOrder(genotypeLevels(request.missing_code), std::max(request.highest_order, 1));
  return request.fast_engine && request.missing_code != kMethodEm && !request.charts && !text_needs_matrix &&
         counted_on_planes;
}

const char* planesRoadRefusal(bool text) {
  return text ? "--engine plain, --missing em, complete or imputation, --plot, the sample and marker "
                "options on a text file and orders above 12 (10 under mc) need the whole byte matrix, whose int index reaches 2147483647 "
                "genotypes (use the default fast engine, --missing available, none or mc and no --plot, "
                "or split the markers into several files)"
              : "--engine plain, --missing em, --plot and orders above 12 (10 under mc) need the whole byte "
                "matrix, whose int index "
                "reaches 2147483647 genotypes (use the default fast engine, another --missing method and no "
                "--plot, or split the markers into several files)";
}
