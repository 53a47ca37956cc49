// Line-by-line comparison of a text with its expected form, for transcripts and
// output files; a difference is reported with its line number and both lines in
// brackets, so that blanks at either end stay visible.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tessaline::testing {

// The lines of `s`; a last line without a line end is kept as a line of its own.
inline std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < s.size()) {
    const std::size_t end = s.find('\n', start);
    if (end == std::string::npos) {
      out.push_back(s.substr(start));
      break;
    }
    out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

inline ::testing::AssertionResult same_lines(const std::string& what, const std::string& expected,
                                             const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  const auto e = split_lines(expected);
  const auto a = split_lines(actual);
  const std::size_t n = e.size() < a.size() ? e.size() : a.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (e[i] != a[i]) {
      return ::testing::AssertionFailure()
             << what << ": line " << i + 1 << " differs\n  expected: [" << e[i]
             << "]\n  actual:   [" << a[i] << "]";
    }
  }
  if (e.size() != a.size()) {
    auto f = ::testing::AssertionFailure();
    f << what << ": expected " << e.size() << " lines, got " << a.size();
    if (a.size() > n) f << "; first extra line: [" << a[n] << "]";
    if (e.size() > n) f << "; first missing line: [" << e[n] << "]";
    return f;
  }
  // Same lines; only the final line end differs.
  return ::testing::AssertionFailure()
         << what << ": the text " << (expected.ends_with('\n') ? "should" : "should not")
         << " end with a line end";
}

}  // namespace tessaline::testing
