// case_status.h: a phenotype field read as PLINK reads a case/control
// column, wherever one comes from (a .fam, a --pheno file), so that a file
// saved by R or pandas ("2.0", "1.0", "-9.0") means what it says in both.
#ifndef GORVA_IO_CASE_STATUS_H
#define GORVA_IO_CASE_STATUS_H

#include <string>
#include <string_view>

#include "io/sample_ids.h"

// caseStatus's answers beside 1 (case), 0 (control) and kNoStatus.
constexpr int kUnreadableStatus = kNoStatus - 1;   // no decimal number
constexpr int kQuantitativeStatus = kNoStatus - 2;  // a number but 2, 1, 0, -9

// 1 for a case (2), 0 for a control (1), kNoStatus for PLINK's missing
// values (0, -9, NA). Any other number is kQuantitativeStatus: PLINK reads
// a column holding one as a quantitative trait, whose values 1 and 2 are
// no controls and cases. Anything else (hexadecimal, inf, nan, a word) is
// kUnreadableStatus: strtod would read "0x2" as a case, so the field is
// read as a decimal number only.
int caseStatus(std::string_view field);

// Whether the field is the number 0, PLINK's missing value that a file
// coding 0 = control, 1 = case would be full of.
bool isZeroStatus(std::string_view field);

// The warning line for a phenotype column (`file`'s) that holds no case and
// `zeros` phenotypes 0: most likely coded 0 = control, 1 = case, which reads
// as missing and controls.
std::string zeroCodingWarning(const std::string& file, int zeros);

#endif  // GORVA_IO_CASE_STATUS_H
