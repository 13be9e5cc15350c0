// vcf_line_check.h: what is wrong with a plain VCF line, said with its field,
// before and after htslib parses it: htslib itself reports only that it
// failed, and drops or shortens what it cannot read.
#ifndef GORVA_IO_VCF_LINE_CHECK_H
#define GORVA_IO_VCF_LINE_CHECK_H

#include <htslib/vcf.h>

#include <functional>
#include <string>
#include <string_view>

// ", field F: ..." for a line that must be refused before parsing (a NUL
// byte, an empty sample field), or "" when it may be parsed.
std::string vcfLineProblem(std::string_view line, const bcf_hdr_t* header);

// ", field F: ..." telling why htslib could not parse `line` (its errcode):
// a contig, INFO or FORMAT tag missing from the header, a field past
// htslib's limits, a character it does not take.
// `dropped_line`, when given, is asked for a header line that declares a
// contig, INFO or FORMAT tag (kind "contig", "INFO", "FORMAT") which htslib
// could not read and left out, and returns it as "line L (TEXT)" or "".
using DroppedHeaderLine = std::function<std::string(const std::string& kind, const std::string& name)>;
std::string vcfParseProblem(std::string_view line, const bcf_hdr_t* header, int errcode,
                            const DroppedHeaderLine& dropped_line = {});

// The sample (from 0) of a record of `ploidy` (2 or more) values per sample
// that holds one allele where others hold two or more, or -1; a lone missing
// allele ('.') is no such call. `gt` holds htslib's values.
int firstHaploidInDiploid(const std::int32_t* gt, int sample_count, int ploidy);

#endif  // GORVA_IO_VCF_LINE_CHECK_H
