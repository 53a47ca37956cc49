// gnuplot for the tools that draw pictures (tessaline-plot, -scan,
// -posterior): one way to write a text into a gnuplot script and one way to
// run gnuplot.
//
// A tool writes its script and data files into a directory of its own under
// fixed names and runs gnuplot there, so that no name the user typed enters a
// script as a path; text that does enter a script (a title naming a file)
// goes through gnuplot_quote(), which lets no byte end the string.
#pragma once

#include <stdexcept>
#include <string>

namespace tessaline::gnuplot {

class GnuplotError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `s` as a gnuplot string in single quotes: a quote doubled, and every control
// byte (a line end would close the string and start a command) written as
// \xHH, which single-quoted strings show as it stands.
std::string gnuplot_quote(const std::string& s);

// The gnuplot program: TESSALINE_GNUPLOT when set (a relative path taken from
// the working directory), else "gnuplot" on the PATH.
std::string gnuplot_program();

// Runs gnuplot on `script` with `dir` as its working directory, standard input
// from /dev/null and the C.UTF-8 locale (in the C locale gnuplot warns about
// every non-ASCII character of a script).  A signal that ends the tool ends
// gnuplot first (textio::end_child_on_signal).  Returns gnuplot's exit status;
// throws GnuplotError when it cannot be started or is killed.
int run_gnuplot(const std::string& dir, const std::string& script);

}  // namespace tessaline::gnuplot
