// Where the benchmarks find their cases: in the directory named by the
// environment variable TESSALINE_BENCH_CASES, else in the source tree's
// bench/cases, so that a benchmark runs from anywhere.
#pragma once

#include <cstdlib>
#include <string>

namespace tessaline {

inline std::string case_path(const std::string& name) {
  const char* dir = std::getenv("TESSALINE_BENCH_CASES");
  return std::string(dir != nullptr ? dir : TESSALINE_BENCH_CASES_DIR) + "/" + name;
}

}  // namespace tessaline
