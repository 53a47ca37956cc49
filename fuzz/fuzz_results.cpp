// Fuzz target: the readers of the program's outputs.  The first byte picks the
// results-file reader or the model-curve reader; the rest is the file.  A
// results file that is read is then used as tessaline-entry uses it, to update
// the shipped example's entry file: a block that does not belong to it must be
// refused, never crash.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "driver/driver.hpp"
#include "driver/entry_update.hpp"
#include "report/readers.hpp"

namespace {

const std::string& example_entry() {
  static const std::string text = [] {
    std::ifstream in(TESSALINE_EXAMPLE_ENTRY, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    if (data[0] % 2 == 0) {
      const tessaline::ResultsFile r = tessaline::read_results(in, "fuzz.dat");
      tessaline::unfinished_note(r, "fuzz.dat");
      tessaline::update_entry_text(example_entry(), "film.ent", r.last, "fuzz.dat");
    } else {
      tessaline::read_curve(in, "fuzz.dat");
    }
  } catch (const tessaline::textio::TextError&) {
  } catch (const tessaline::UpdateRefused&) {
  }
  return 0;
}
