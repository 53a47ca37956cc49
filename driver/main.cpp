// tessaline: fits a model of a magnetic thin-film stack to polarized neutron
// reflectivity in the four spin channels.  One fit per run, driven from the
// console; the exit status tells how the run ended.
#include <cstdio>

#include "driver/driver.hpp"
#include "textio/output_files.hpp"

int main() {
  try {
    tessaline::textio::check_standard_streams();
  } catch (const tessaline::textio::TextError& e) {
    std::fprintf(stderr, "tessaline: %s\n", e.what());
    return tessaline::kExitTextError;
  }
  return tessaline::run(tessaline::textio::InStream::console(),
                        tessaline::textio::OutStream::console());
}
