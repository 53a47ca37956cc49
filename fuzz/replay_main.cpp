// Runs a fuzz target once on every file named on the command line, or on every
// file of a named directory: the regression inputs and the seed corpus are
// replayed this way in the ordinary test run, with the compiler and the
// sanitizers of that build and without libFuzzer.  A named path that is
// missing or cannot be opened fails the run, so that a moved seed is noticed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// False if the file cannot be opened.
bool replay(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot be opened\n", p.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path p(argv[a]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
        if (!e.is_regular_file()) continue;
        if (!replay(e.path())) return 1;
        ++inputs;
      }
    } else if (!replay(p)) {
      return 1;
    } else {
      ++inputs;
    }
  }
  std::printf("replayed %d inputs\n", inputs);
  return 0;
}
