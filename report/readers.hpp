// Readers of the files this library writes: the results file and the model-curve
// files.  The tools (the picture, the entry-file tool) read a finished or
// stopped fit through them.
//
// A reader takes a stream and a name for its messages, or a file name; it reads
// through the text layer, so lines and numbers are bounded, and it keeps at most
// the block being read and the last complete one, so memory is bounded by the
// size of one block whatever the input holds.  Errors throw textio::TextError
// with a message that names the file and the line.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// How the monitor printed a parameter: fixed by the entry file, free with an
// error and a factor, free held or set aside on a bound (error and factor, then
// "on bound"), or set aside with an infinite error.
enum class ParameterState { kFixed, kFree, kOnBound, kInfinite };

// One parameter line of an iteration block.
struct ResultsParameter {
  std::string name;             // without the blanks that pad it to 16 characters
  std::string value_text;       // the value field as written, without blanks
  std::optional<double> value;  // empty when the field is asterisks
  ParameterState state = ParameterState::kFixed;
  // The error and factor columns, free and on bound only; empty for asterisks.
  // The tools of this project do not use them; they are read for any reader of
  // the format that does.
  std::optional<double> error;
  std::optional<double> factor;
  int line = 0;
};

// One complete iteration block: from its row of asterisks to hi_sq.norm.
struct ResultsBlock {
  int iteration = -1;                        // -1 when the number field is not a number
  int line = 0;                              // line of the row of asterisks
  std::vector<ResultsParameter> parameters;  // indices 1..size(), in order
  std::string sqrt_d_line;                   // the sqrt(D) line, "" when D < 0
  std::string chi_sq_text;                   // the hi_sq.norm field as written
  std::optional<double> chi_sq;              // empty when the field is asterisks
};

// What a results file holds for a reader: its last complete block.
struct ResultsFile {
  ResultsBlock last;    // the last complete block
  bool closed = false;  // the closing line of 73 '%' follows it
  // Why a block begun after the last complete one is not complete ("" when
  // there is none): a run that was stopped while it wrote a block.
  std::string broken_block;
};

// Reads a results file.  Lines outside the blocks (the head, a closing line, a
// note after the last block) are passed over; a block that breaks off is not
// used.  A file without any complete block is an error.
ResultsFile read_results(std::istream& in, const std::string& name);
ResultsFile read_results_file(const std::string& name);

// For a file without its closing line, or one whose last block breaks off
// before the closing line: a sentence saying so, which block is used instead
// and why the broken one is not; "" for a finished file whose last block is
// whole.
std::string unfinished_note(const ResultsFile& r, const std::string& name);

// `s` without its leading and trailing blanks.
std::string_view trim_blanks(std::string_view s);

// A value field of the monitor (Ew.d, also with a three-digit exponent written
// without the letter E); empty for asterisks, an exponent of more than three
// digits, or anything else.
std::optional<double> parse_e_field(std::string_view field);

// One line of a model-curve file: glancing angle in rad and model intensity.
struct CurvePoint {
  double theta = 0;
  double y = 0;
};
using Curve = std::vector<CurvePoint>;

// Reads a model-curve file: exactly 200 lines of two free-form numbers.
Curve read_curve(std::istream& in, const std::string& name);
Curve read_curve_file(const std::string& name);

}  // namespace tessaline
