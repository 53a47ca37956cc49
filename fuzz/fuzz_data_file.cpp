// Fuzz target: the data-file reader of the program.  The number of points per
// channel follows the input's line count, as for a real data file (four
// channels of nn lines each), so that the seeds exercise whole files.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "driver/driver.hpp"
#include "fuzz/fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const long lines = std::count(data, data + size, static_cast<std::uint8_t>('\n'));
  const std::string& file = tessaline::fuzz::as_file(data, size);
  tessaline::textio::OutStream quiet;
  const auto t = tessaline::make_tables();
  t->nn = static_cast<int>(std::clamp(lines / 4, 1L, static_cast<long>(tessaline::maxpoint)));
  t->npoint = 4 * t->nn;
  try {
    tessaline::read_data_file(*t, file, quiet);
  } catch (const tessaline::textio::TextError&) {
  } catch (const tessaline::InputDialogueStop&) {
  }
  return 0;
}
