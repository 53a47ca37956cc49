// The next entry file of a refinement: an entry file whose free values are
// replaced by the values of an iteration block of the results file, in the
// entry file's own units, with every other byte kept (marks, separators,
// comments after the values, blank lines, line ends).
//
// The block belongs to the entry file when it has the same parameters under the
// same names and every value fixed in both is the same.  The values are
// converted on their decimal digits, so that the six significant digits the
// results file holds come back as the same six digits.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/driver.hpp"
#include "report/readers.hpp"

namespace tessaline {

// A results block that does not belong to the entry file; the message says
// which line or parameter disagrees.
class UpdateRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct EntryUpdate {
  std::string text;  // the new entry file
  int replaced = 0;  // values replaced
};

// The entry text `old_text` (read as the program reads it, under the name
// `old_name`) with each value that it leaves free replaced by the value of the
// same parameter in `block` of the results file `results_name`.  Values fixed
// by the entry file stay as they are, except those of the slots in
// `fixed_too`, which take the block's value wherever it prints differently
// (a fit of several measurements gives a shared value of its first
// measurement to all).  Throws UpdateRefused when the block does not belong
// to the entry file, textio::TextError naming the results file and line when
// a value the update needs is not a number, and whatever the entry-file reader
// throws (TextError, RunStop, InputDialogueStop) when the entry file cannot be
// read.
EntryUpdate update_entry_text(const std::string& old_text, const std::string& old_name,
                              const ResultsBlock& block, const std::string& results_name,
                              const std::vector<int>& fixed_too = {});

// Values to write into an entry file in place, each in the entry file's own
// unit: the collimation step and sigma and the zero correction in mrad, a
// parameter slot's value as the file gives it (scattering-length densities in
// 1e-6 A^-2, alpha_0 in mrad; physical_to_entry converts).
struct EntryEdits {
  std::optional<double> coll_step;
  std::optional<double> coll_sigma;
  std::optional<double> zero_correction;
  std::vector<std::pair<int, double>> slots;  // slot (1..NPAR), value
  std::vector<int> fix;  // slots whose mark is to fix them
};

// The entry text `old_text` (read as the program reads it, under the name
// `old_name`) with the values of `edits` written over the old ones, each with
// the fewest digits that read back as the same number, and an "F" put in
// front of the mark of every slot to fix that is free; every other byte is
// kept.  Throws UpdateRefused for a slot the file does not have
// or a value it leaves out with a slash, and whatever the entry-file reader
// throws when the text cannot be read.
std::string edit_entry_text(const std::string& old_text, const std::string& old_name,
                            const EntryEdits& edits);

// What a tool reports when the entry file `entry_name` could not be brought to
// the block of `results_name`: for UpdateRefused "RESULTS does not belong to
// ENTRY: " and the reason; for a stop of the program "ENTRY is refused by the
// program:" and the dialogue lines, each on a line of its own indented by two
// blanks, or the reason; for anything else the exception's own message.
std::string update_failure_message(const std::exception& e, const std::string& entry_name,
                                   const std::string& results_name);

// The raw bytes of the entry file `name`, for update_entry_text(); at most
// 64 MiB (the largest entry file has some 6,600 short lines).  Throws
// textio::TextError when the file cannot be read or is larger.
std::string read_entry_bytes(const std::string& name);

// A number with the fewest significant digits that read back as the same
// number ("0.05", not "0.050000000000000003"); "nan" or "inf" when it is not
// finite.
std::string shortest_number(double v);

// A number written as the monitor writes it (for example 0.509370E-05) times
// 10^shift, written with the same significant digits: 0.509370E-05 shifted by
// 6 is 5.09370.  Fixed-point notation for moderate magnitudes, else d.ddddE+x.
std::string shift_decimal(std::string_view number, int shift);

}  // namespace tessaline
