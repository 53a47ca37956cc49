// Line and number handling shared by the readers of the reduced formats.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "import/import.hpp"

namespace tessaline::importer::detail {

struct Line {
  int number = 0;  // 1-based
  std::string text;
};

// Longest line accepted.  A header line listing a value for every point stays
// far below it; anything longer is not a reduced file (or is /dev/zero), and
// reading on would only exhaust the memory.
inline constexpr std::size_t kMaxLine = std::size_t{4} << 20;

// Every line of the stream, without its line end (LF or CRLF) and without a
// UTF-8 byte-order mark before the first.  A stream that
// fails other than by reaching its end, or a line longer than kMaxLine, is an
// ImportError naming the file.
std::vector<Line> read_lines(std::istream& in, const std::string& name);

// Blank- or tab-separated words.
std::vector<std::string_view> split_words(std::string_view s);

// A whole word as a number ("nan" and "inf" included); false if it is not one.
bool parse_number(std::string_view word, double& v);

// "name, line N: what"
[[noreturn]] void fail_at(const std::string& name, int line, const std::string& what);

// The file name without its directories.
std::string_view base_name(std::string_view path);

}  // namespace tessaline::importer::detail
