// covariate_file.h: PLINK's covariate file (a header `FID IID name...` or,
// as PLINK 1.07 writes it, none; then one line of numbers per sample) read whole, before any sample is matched.
#ifndef GORVA_IO_COVARIATE_FILE_H
#define GORVA_IO_COVARIATE_FILE_H

#include <string>
#include <vector>

struct CovariateLine {
  std::string fid;
  std::string iid;
  int line = 0;
  bool missing = false;  // a chosen value is -9 or NA
};

struct CovariateFile {
  std::vector<std::string> names;  // the chosen columns, in the order asked
  std::vector<CovariateLine> lines;
  std::vector<double> values;  // names.size() per line, line-major
  bool iid_only = false;       // plink2's "#IID name..." file: samples named by IID alone, fid empty
};

// Splits a --covar-name value "A,B,C" into its names (an empty value asks
// for every column).
std::vector<std::string> covariateNames(const std::string& value);

// Reads `path`, keeping the columns `wanted` (every column after IID when
// empty). False with `error` (file, line, field) for a file that cannot be
// read, a header without FID IID and a name, a wanted name the header lacks
// (COV1, COV2 ... where a file has none, told by its first field),
// a line of the wrong length, a value that is not a number, or a sample
// (FID IID) named twice.
bool readCovariateFile(const std::string& path, const std::vector<std::string>& wanted, CovariateFile& out,
                       std::string& error);

// Why every adjusted model may fail: a covariate on whose one side only
// cases lie, and on whose other side only controls (a batch of cases alone,
// a column nonzero for one sample), has no finite fit in any model that
// holds it. One warning line per such covariate over the samples given
// (`values` sample-major, `count` per sample; `is_case` 1 or 0 per sample),
// named by `names` (by number where it is shorter), ending in `advice`.
// The samples a row counts are among them, so such a column separates them
// too.
std::string separatingCovariatesWarning(const std::vector<double>& values, int count,
                                        const std::vector<std::string>& names,
                                        const std::vector<unsigned char>& is_case, const std::string& advice);

#endif  // GORVA_IO_COVARIATE_FILE_H
