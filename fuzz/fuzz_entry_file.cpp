// Fuzz target: the entry-file reader of the program, with its echo discarded.
// A text-layer error, a limit stop and the magnetic-pair dialogue are the
// reader's answers to bad files; anything else is a finding.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "driver/driver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  tessaline::textio::OutStream quiet;  // not open: the echo goes nowhere
  const auto t = tessaline::make_tables();
  try {
    tessaline::read_entry_file(*t, in, "fuzz.ent", quiet);
  } catch (const tessaline::textio::TextError&) {
  } catch (const tessaline::RunStop&) {
  } catch (const tessaline::InputDialogueStop&) {
  }
  return 0;
}
