// Shared set-up of the reporting tests: every test runs in a fresh temporary
// directory (the reports write fixed file names into the working directory), and
// the parameter tables are laid out as the entry-file reader lays them out.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tables/tables.hpp"

namespace tessaline::testing {

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::current_path();
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "tessaline-report-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path home_;
  std::filesystem::path dir_;
};

// All lines of a text file, without their line ends.
inline std::vector<std::string> read_lines(const std::string& name) {
  std::ifstream in(name);
  EXPECT_TRUE(in.good()) << "cannot open " << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline void write_lines(const std::string& name, int count, std::string_view text) {
  std::ofstream out(name);
  for (int i = 0; i < count; ++i) out << text << '\n';
}

// Parameter layout of a model with `nlay` layers: six slots per layer, five for
// the substrate, twelve global ones; densities carried in units of 1e-6 A^-2.
// Every parameter starts free (step limit 1 in internal units) with value 0.
inline std::unique_ptr<Tables> layout(int nlay) {
  static const char* const kLayer[6] = {"thickness", "Re{Nb}",           "Im{Nb}",
                                        "N_p",       "<Cos(delta_gamma", "Debye-Waller"};
  static const char* const kTail[17] = {
      "Re{Nb}",        "Im{Nb}",       "N_p",          "<Cos(delta_gamma",
      "Debye-Waller",  "<Cos(gamma)>", "<Sin(gamma)>", "<Sin^2(gamma)>",
      "total scaling", "alpha_0",      "background",   "Pi(x)",
      "Pi(y)",         "Pi(z)",        "Pf(x)",        "Pf(y)",
      "Pf(z)"};
  auto t = make_tables();
  t->pi = kPi;
  t->nlay = nlay;
  t->NPAR = 6 * nlay + 17;
  for (int i = 1; i <= t->NPAR; ++i) {
    t->SCALE(i) = 1;
    t->STEPLIM(i) = 1;
  }
  for (int k = 1; k <= nlay; ++k) {
    for (int m = 0; m < 6; ++m) t->PARNAM(6 * k - 5 + m) = make_name16(kLayer[m]);
    for (int m = 2; m <= 4; ++m) t->SCALE(6 * k - 6 + m) = 1e6;
  }
  const int n6 = 6 * nlay;
  for (int m = 0; m < 17; ++m) t->PARNAM(n6 + 1 + m) = make_name16(kTail[m]);
  for (int m = 1; m <= 3; ++m) t->SCALE(n6 + m) = 1e6;
  return t;
}

}  // namespace tessaline::testing
