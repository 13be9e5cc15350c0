// What every benchmark prints beside its figures: the CPU they were
// measured on, and wall-clock seconds.
#ifndef GORVA_BENCH_BENCH_SUPPORT_H
#define GORVA_BENCH_BENCH_SUPPORT_H

#include <chrono>
#include <fstream>
#include <string>

inline std::string cpuModel() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#endif  // GORVA_BENCH_BENCH_SUPPORT_H
