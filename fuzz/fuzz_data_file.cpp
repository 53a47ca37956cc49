// Fuzz target: the data-file reader of the program.  The number of points per
// channel follows the input's line count, as for a real data file (four
// channels of nn lines each), so that the seeds exercise whole files; a point
// list (first line "# tessaline points") is read whole whatever nn says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "driver/driver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const long lines = std::count(data, data + size, static_cast<std::uint8_t>('\n'));
  const int nn =
      static_cast<int>(std::clamp(lines / 4, 1L, static_cast<long>(tessaline::maxpoint)));
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    tessaline::read_measured_points(in, "fuzz.dat", nn);
  } catch (const tessaline::textio::TextError&) {
  }
  return 0;
}
