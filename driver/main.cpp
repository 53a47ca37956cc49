// tessaline: fits a model of a magnetic thin-film stack to polarized neutron
// reflectivity in the four spin channels.  One fit per run, driven from the
// console; the exit status tells how the run ended.
#include "driver/driver.hpp"

int main() {
  return tessaline::run(tessaline::textio::InStream::console(),
                        tessaline::textio::OutStream::console());
}
