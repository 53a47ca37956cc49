// Fuzz target: the readers of reduced reflectivity files, as the importer
// meets them: the lines of the input tell ORSO text with its YAML header, an
// NCNR reduced file of the newer kind, or else an NCNR reduced file of the older
// kind (plain columns included).  An ImportError is the readers' answer to a bad
// file; anything else is a finding.  What a reader accepts is also taken through
// the assembly into four channels, which must not fail otherwise.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "import/import.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace im = tessaline::importer;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  try {
    // The name's last letter gives a file of the older NCNR kind without a
    // #polarization line a cross section (D = ++), so that it reaches the assembly.
    std::vector<im::DataSet> sets = im::read_reduced(in, "fuzz.reflD");
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
