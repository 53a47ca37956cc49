// Fuzz target: the readers of reduced reflectivity files.  The first byte picks
// the reader (ORSO text with its YAML header, an NCNR reduced file of the older
// or the newer kind, or plain columns); the rest is the file.  An ImportError is the readers'
// answer to a bad file; anything else is a finding.  What a reader accepts is also taken through
// the assembly into four channels, which must not fail otherwise.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "import/import.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace im = tessaline::importer;
  if (size == 0) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    std::vector<im::DataSet> sets;
    switch (data[0] % 4) {
      case 0:
        sets = im::read_orso(in, "fuzz.ort");
        break;
      case 1:
        sets.push_back(im::read_ncnr(in, "fuzz.reflA"));
        break;
      case 2:
        sets = im::read_ncnr_blocks(in, "fuzz.refl");
        break;
      default:
        sets.push_back(im::read_columns(in, "fuzz.txt", 0));
        break;
    }
    // Four copies as the four channels, when the reader found a single curve.
    if (sets.size() == 1) {
      for (int c = 0; c < tessaline::kChannels; ++c) {
        im::DataSet s = sets[0];
        s.channel = c;
        sets.push_back(s);
      }
      sets.erase(sets.begin());
    }
    im::Options options;
    options.wavelength = 5.0;
    const im::Imported imported = im::assemble(sets, options);
    im::data_file_points(imported);
    im::starting_entry(imported);
  } catch (const im::ImportError&) {
  }
  return 0;
}
