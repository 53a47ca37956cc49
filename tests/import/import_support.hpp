// Small helpers shared by the in-process tests of the importer.
#pragma once

#include <string>
#include <vector>

#include "import/import.hpp"

namespace tessaline::importer::testing {

inline bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The message with which assemble() refuses `sets`, or "(accepted)".
inline std::string message_of(const std::vector<DataSet>& sets, const Options& options = {}) {
  try {
    assemble(sets, options);
  } catch (const ImportError& e) {
    return e.what();
  }
  return "(accepted)";
}

}  // namespace tessaline::importer::testing
