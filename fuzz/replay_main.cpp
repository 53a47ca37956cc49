// Runs a fuzz target once on every file named on the command line, or on every
// file of a named directory: the regression inputs and the seed corpus are
// replayed this way in the ordinary test run, with the compiler and the
// sanitizers of that build and without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path p(argv[a]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p))
        if (e.is_regular_file()) inputs += replay(e.path());
    } else if (std::filesystem::exists(p)) {
      inputs += replay(p);
    }
  }
  std::printf("replayed %d inputs\n", inputs);
  return 0;
}
