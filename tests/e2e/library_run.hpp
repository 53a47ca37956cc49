// Helpers for the whole-run tests that also use the libraries: the examples'
// directory, the model of an entry file (and optionally its measured points) in
// fresh tables, and a scope that runs in another working directory.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "driver/driver.hpp"
#include "tables/tables.hpp"
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

// Makes `dir` the working directory for the scope's lifetime: the program's
// output files are written under fixed names into the working directory.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

}  // namespace tessaline::testing
