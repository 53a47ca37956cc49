// Fuzz target: the reader of the series file of tessaline-series.  A refused
// line and a text-layer error are the reader's answers to bad files; anything
// else is a finding.  The files the lines name are not opened here.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "textio/textio.hpp"
#include "tools/series/series_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    tessaline::series::read_series(in, "fuzz.series", "dir");
  } catch (const tessaline::series::SeriesError&) {
  } catch (const tessaline::textio::TextError&) {
  }
  return 0;
}
