// Prints, as a Markdown table, how LSQFIT does on NIST's certified nonlinear
// least-squares problems from both of NIST's starts: end status, iterations,
// distance from the certified values in certified standard deviations, digits
// of agreement, residual sum of squares and error estimates.
//
// Usage: nist_table [DIR]   (DIR holds the NIST .dat files; default: the
// copies in tests/data/nist-strd)
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fit/nist_problems.hpp"

int main(int argc, char** argv) {
  namespace nist = tessaline::test::nist;
  const char* usage = "usage: nist_table [DIR]\n";
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::filesystem::path dir = argc == 2 ? argv[1] : TESSALINE_NIST_DIR;
  try {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".dat") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) {
      std::fprintf(stderr, "nist_table: no .dat file in %s\n", dir.c_str());
      return 1;
    }
    std::vector<nist::Problem> problems;
    for (const auto& f : files) problems.push_back(nist::read_problem(f.string()));
    auto t = tessaline::make_tables();
    auto fs = tessaline::make_fit_state();
    std::fputs(nist::table_header().c_str(), stdout);
    for (const nist::Problem& pr : problems) {
      for (int which = 0; which < 2; ++which) {
        const nist::Outcome out = nist::fit(pr, which, *t, *fs);
        std::fputs(nist::table_row(pr, which, out, nist::compare(pr, out)).c_str(), stdout);
        std::fflush(stdout);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nist_table: %s\n", e.what());
    return 1;
  }
  return 0;
}
