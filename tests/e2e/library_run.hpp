// Helpers for the whole-run tests that also use the libraries: the examples'
// directory, the model of an entry file (and optionally its measured points) in
// fresh tables.
#pragma once

#include <memory>
#include <string>

#include "driver/driver.hpp"
#include "tables/tables.hpp"
#include "tests/driver/scratch.hpp"
#include "textio/textio.hpp"

namespace tessaline::testing {

inline std::string example_file(const std::string& name) {
  return std::string(TESSALINE_EXAMPLES_DIR) + "/" + name;
}

// The tables of `entry` (and of `data` when it is not empty), read as the program
// reads them but without the echo, with the collimation kernel built.
inline std::unique_ptr<Tables> load_model(const std::string& entry, const std::string& data = "") {
  auto t = make_tables();
  t->pi = kPi;
  textio::OutStream quiet;  // never opened: writes to it are dropped
  read_entry_file(*t, entry, quiet);
  if (!data.empty()) read_data_file(*t, data, quiet);
  build_collimation(*t);
  return t;
}

}  // namespace tessaline::testing
