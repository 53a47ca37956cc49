// Fuzz target: the free-form reader of the text layer.  The first bytes of an
// input choose a sequence of reads (numbers, integers, a point of three
// numbers, a name, a mark character, a skipped line); the rest is the file they
// read.  Every outcome but a TextError is a finding.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "textio/textio.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kOps = 16;
  const std::size_t n_ops = size < kOps ? size : kOps;
  std::istringstream file(std::string(reinterpret_cast<const char*>(data) + n_ops, size - n_ops));
  tessaline::textio::InStream in;
  try {
    in.open(file, "fuzz.txt", "fuzz file");
    for (std::size_t k = 0; k < n_ops; ++k) {
      double v[3];
      int i = 0;
      std::string s;
      switch (data[k] % 6) {
        case 0:
          in.read(v[0], "a number");
          break;
        case 1:
          in.read(i, "an integer");
          break;
        case 2:
          in.read(v, 3, "three numbers");
          break;
        case 3:
          in.read_text(s, 256, "a name");
          break;
        case 4:
          in.read_char("a mark");
          break;
        default:
          in.skip_line("a separator");
          break;
      }
    }
  } catch (const tessaline::textio::TextError&) {
  }
  return 0;
}
