// Fuzz target: the entry-file reader of the program, with its echo discarded.
// A text-layer error, a limit stop and the magnetic-pair dialogue are the
// reader's answers to bad files; anything else is a finding.
#include <cstddef>
#include <cstdint>

#include "driver/driver.hpp"
#include "fuzz/fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& file = tessaline::fuzz::as_file(data, size);
  tessaline::textio::OutStream quiet;  // not open: the echo goes nowhere
  const auto t = tessaline::make_tables();
  try {
    tessaline::read_entry_file(*t, file, quiet);
  } catch (const tessaline::textio::TextError&) {
  } catch (const tessaline::RunStop&) {
  } catch (const tessaline::InputDialogueStop&) {
  }
  return 0;
}
