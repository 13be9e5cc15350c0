// make_large_data: writes a data set of a given shape for the large-data
// runs, as PLINK files and/or as a text data file, without holding it: each
// genotype is a hash of its marker and sample, so the .bed (marker by
// marker) and the text (sample by sample) hold the same data.
//
// Usage: make_large_data MARKERS SAMPLES [--bfile PREFIX] [--text FILE]
// Genotypes 0/1/2 with about 1% missing (3); the first half of the samples
// are cases. Every write is checked; a failed one ends with status 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int code(std::uint64_t m, std::uint64_t s) {
  std::uint64_t x = (m << 32) ^ s ^ 0x9e3779b97f4a7c15ULL;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  const int draw = static_cast<int>(x % 100);
  return draw == 0 ? 3 : draw < 40 ? 0 : draw < 80 ? 1 : 2;
}

bool isCase(long s, long samples) { return s < samples / 2; }

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "make_large_data: cannot write %s\n", what.c_str());
  std::exit(1);
}

void writeAll(std::FILE* file, const void* bytes, std::size_t count, const std::string& name) {
  if (std::fwrite(bytes, 1, count, file) != count) fail(name);
}

void closeChecked(std::FILE* file, const std::string& name) {
  if (std::fclose(file) != 0) fail(name);
}

std::FILE* create(const std::string& name) {
  std::FILE* file = std::fopen(name.c_str(), "wbx");  // never over an existing file
  if (file == nullptr) fail(name + " (it must not exist yet)");
  return file;
}

void writePlink(const std::string& prefix, long markers, long samples) {
  std::FILE* fam = create(prefix + ".fam");
  for (long s = 0; s < samples; ++s) {
    const std::string line = "f" + std::to_string(s) + " i" + std::to_string(s) + " 0 0 0 " +
                             (isCase(s, samples) ? "2\n" : "1\n");
    writeAll(fam, line.data(), line.size(), prefix + ".fam");
  }
  closeChecked(fam, prefix + ".fam");
  std::FILE* bim = create(prefix + ".bim");
  for (long m = 0; m < markers; ++m) {
    const std::string line = "1 M" + std::to_string(m + 1) + " 0 " + std::to_string(m + 1) + " A G\n";
    writeAll(bim, line.data(), line.size(), prefix + ".bim");
  }
  closeChecked(bim, prefix + ".bim");
  // .bed codes: 00 two copies of A1, 01 missing, 10 one, 11 none.
  constexpr unsigned char kPacked[4] = {3, 2, 0, 1};
  std::FILE* bed = create(prefix + ".bed");
  writeAll(bed, "\x6c\x1b\x01", 3, prefix + ".bed");
  std::vector<unsigned char> packed((samples + 3) / 4);
  for (long m = 0; m < markers; ++m) {
    std::memset(packed.data(), 0, packed.size());
    for (long s = 0; s < samples; ++s) packed[s / 4] |= kPacked[code(m, s)] << (2 * (s % 4));
    writeAll(bed, packed.data(), packed.size(), prefix + ".bed");
  }
  closeChecked(bed, prefix + ".bed");
}

void writeText(const std::string& name, long markers, long samples) {
  std::FILE* text = create(name);
  std::string line = "Class";
  for (long m = 0; m < markers; ++m) line += "\tM" + std::to_string(m + 1);
  line += "\n";
  writeAll(text, line.data(), line.size(), name);
  for (long s = 0; s < samples; ++s) {
    line.assign(isCase(s, samples) ? "1" : "0");
    for (long m = 0; m < markers; ++m) {
      line += '\t';
      line += static_cast<char>('0' + code(m, s));
    }
    line += '\n';
    writeAll(text, line.data(), line.size(), name);
  }
  closeChecked(text, name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: make_large_data MARKERS SAMPLES [--bfile PREFIX] [--text FILE]\n");
    return 2;
  }
  const long markers = std::atol(argv[1]);
  const long samples = std::atol(argv[2]);
  for (int i = 3; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--bfile") == 0) writePlink(argv[i + 1], markers, samples);
    if (std::strcmp(argv[i], "--text") == 0) writeText(argv[i + 1], markers, samples);
  }
  return 0;
}
