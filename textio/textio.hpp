// The text-record layer: every line the program reads or writes goes through it.
//
// Output: lines laid out in the field notation of Fortran-style formats (Iw, Aw,
// A, Fw.d, Ew.d, nX, literals, the no-advance mark) and free-form lines; a field
// too narrow for its number is filled with asterisks.  Input: free-form reads
// (values separated by blanks, commas or line ends, a slash ends the read, texts
// may be quoted, the rest of the last line is skipped) and single-character reads.
//
// Streams are the console (standard output and standard input) and text files.
// Errors of this layer (missing file, unreadable number, end of input) are thrown
// as TextError, whose message names the file, the line and what was expected.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaline::textio {

// ---------------------------------------------------------------- fields

std::string fmt_I(long v, int w);
std::string fmt_F(double v, int w, int d);
std::string fmt_E(double v, int w, int d);
std::string fmt_A(std::string_view s, int w);
// A number in free form: a 24-character field, fixed notation with 15
// significant digits (and five trailing blanks) from 0.1 up to 1e15, otherwise
// d.ddddddddddddddddE+eee.
std::string fmt_free_real(double v);

// A text as messages quote it: in double quotes, invisible bytes shown as \xHH
// escapes (so that a stray byte-order mark or control character can be seen),
// cut after 40 bytes with "..." and the full length, so that a runaway token
// cannot flood the message.
std::string quoted(std::string_view text);

// One line under construction; descriptors are applied in order.
class Record {
 public:
  Record& A(std::string_view s) {
    s_ += s;
    return *this;
  }
  Record& A(std::string_view s, int w) {
    s_ += fmt_A(s, w);
    return *this;
  }
  Record& I(long v, int w) {
    s_ += fmt_I(v, w);
    return *this;
  }
  Record& F(double v, int w, int d) {
    s_ += fmt_F(v, w, d);
    return *this;
  }
  Record& E(double v, int w, int d) {
    s_ += fmt_E(v, w, d);
    return *this;
  }
  Record& X(int n) {
    s_.append(static_cast<std::size_t>(n), ' ');
    return *this;
  }
  const std::string& str() const { return s_; }

 private:
  std::string s_;
};

// ---------------------------------------------------------------- errors

class TextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- output

class OutStream {
 public:
  OutStream() = default;
  OutStream(const OutStream&) = delete;
  OutStream& operator=(const OutStream&) = delete;
  ~OutStream();

  // Create the file, or replace its content.  The file is line buffered: what
  // is on disk always ends with a whole line, whenever the program stops.
  void create(const std::string& name);
  void close();
  bool is_open() const { return f_ != nullptr; }
  const std::string& name() const { return name_; }
  // The file descriptor of an open file, for writing from a signal handler.
  int fd() const;

  // One record, ended.
  void write(const Record& r) { write(r.str()); }
  void write(std::string_view line);
  // One record left open (the no-advance mark): the next write continues it.
  void write_no_advance(const Record& r) { put(r.str()); }
  void write_no_advance(std::string_view text) { put(text); }
  // Free-form output: one blank, then the values.
  void write_free() { write(std::string_view{}); }  // an empty line
  void write_free(std::string_view text);
  void write_free(std::initializer_list<double> values);

  void flush();

  static OutStream& console();

 private:
  void put(std::string_view text);
  void check();
  [[noreturn]] void fail() const;

  std::FILE* f_ = nullptr;
  std::string name_;
  bool console_ = false;
  int error_ = 0;  // errno of the first write that failed
};

// ---------------------------------------------------------------- input

// Where the last token of a read stands in the raw bytes of its file: the
// 1-based line, the 1-based byte column (a byte-order mark skipped at the start
// of the file counts; a carriage return before the line end is never part of
// a token) and the token's length in bytes.  A read ended by a slash leaves
// its item without a token: length 0.
struct TokenPosition {
  int line = 0;
  int column = 0;
  int length = 0;
};

// One line source: a text file, a borrowed std::istream, or the console's
// standard input.
//
// Input is bounded: a line longer than kMaxLine characters (a binary file, or
// /dev/zero) and a number longer than kMaxToken characters are errors rather
// than memory without end.  A UTF-8 byte-order mark at the start of a file is
// skipped.
class InStream {
 public:
  static constexpr std::string::size_type kMaxLine = 65536;
  static constexpr std::string::size_type kMaxToken = 256;

  InStream() = default;
  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;
  ~InStream();

  // Open an existing text file; `role` describes it in error reports
  // (for example "entry file").
  void open(const std::string& name, std::string_view role);
  // Read from `in`, which must outlive the reads; `name` and `role` as above.
  void open(std::istream& in, const std::string& name, std::string_view role);
  void close();
  bool is_open() const { return f_ != nullptr || in_ != nullptr || console_; }
  const std::string& name() const { return name_; }
  // Number of the line the last read ended on (1-based; 0 before any read).
  int line_number() const { return line_no_; }

  // Free-form reads.  Each starts at the beginning of the next line, continues on
  // following lines until every item is filled and skips the rest of its last
  // line; a slash ends the read and leaves the remaining items unchanged.
  // `what` names the expected value in error reports.
  void read(double& v, std::string_view what);
  void read(int& v, std::string_view what);  // an integer, without decimal point
  void read(double* v, int n, std::string_view what);
  // A text item: the next blank- or comma-delimited token, or a quoted string;
  // longer than max_len characters is an error.  A slash is part of the text (a
  // file name may be a path), not the end of the read.
  void read_text(std::string& s, std::string::size_type max_len, std::string_view what);
  // A free-form read without items: skips one whole line.
  void skip_line(std::string_view what);
  // (A1): the first character of the next whole line, blank for an empty line.
  char read_char(std::string_view what);

  // Position of the token of the last item read.
  const TokenPosition& last_token() const { return last_token_; }

  // The next whole line, without its line end; false at the end of the input.
  bool read_line(std::string& line);
  // The next whole line without taking it: the next read starts on that line.
  bool peek_line(std::string& line);
  // Looks ahead for a line that holds more than separators; the next read
  // starts on that line.  False when only blank lines remain.
  bool more_tokens();
  // Reads on to the first line that holds a token that reads as a number and
  // returns its number; 0 when the input ends first.
  int find_number_line();

  static InStream& console();

 private:
  struct Item;
  void read_items(Item* items, int n, std::string_view what);
  void reset_position();
  bool next_line();
  [[noreturn]] void fail_end(std::string_view what) const;
  [[noreturn]] void fail_value(std::string_view token, std::string_view what,
                               std::string_view problem) const;
  std::string where() const;

  std::FILE* f_ = nullptr;
  std::streambuf* in_ = nullptr;
  bool console_ = false;
  std::string name_;
  std::string role_;
  std::string line_;
  int line_no_ = 0;
  int line_skipped_ = 0;  // bytes dropped at the start of line_ (a byte-order mark)
  bool pending_ = false;  // line_ has been looked at but not yet read
  TokenPosition last_token_;
};

// A number as the free-form reads take it: [sign] digits [. digits] [(E|D)
// [sign] digits], finite, the whole token.  False, with `v` unchanged, for
// anything else.
bool parse_number(const std::string& token, double& v);

// ---------------------------------------------------------------- console keys

// The final wait: returns when Enter is pressed.  On a terminal the keys are read
// raw and without echo, an escape sequence (arrow key and the like) is consumed
// whole and ignored, and the terminal's settings are restored on every way out.
// Off a terminal a carriage return or line feed ends the wait, and so does the end
// of input.
void wait_for_enter();

}  // namespace tessaline::textio
