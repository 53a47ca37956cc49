// tessaline-series: several measurements of one sample fitted together.
//
//   tessaline-series SERIES [--dirs] [--threads N]
//       Fits every set of the series file SERIES at once, with the parameters
//       it shares, and writes into the working directory every set's results
//       and curve files (NAME_VreloBag.dat, NAME_VreloFunctUU.dat, ...; with
//       --dirs NAME/VreloBag.dat, ...) and the series results file
//       VreloSeries.dat.
//   tessaline-series update SERIES [--dirs]
//       Writes NAME_next.ent for every set: its entry file with the values of
//       its last results.
//
// Exit status: 0 done, 1 input refused or no finite start, 2 bad command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.hpp"
#include "tools/series/series_run.hpp"

namespace {

using tessaline::series::SetFiles;

const char* const kUsageText =
    "usage: tessaline-series SERIES [--dirs] [--threads N]\n"
    "       tessaline-series update SERIES [--dirs]\n"
    "  SERIES     the series file: lines \"set NAME ENTRY DATA [FIRST LAST]\", \"share LIST\",\n"
    "             \"bound [NAME:]K LO HI\" and comments starting with #\n"
    "  update     write NAME_next.ent for every set from its results file\n"
    "  --dirs     every set's files in a directory NAME/ under the program's own names,\n"
    "             instead of NAME_VreloBag.dat, ... in the working directory\n"
    "  --threads  the number of threads (default: every hardware thread)\n";

int usage(const std::string& message) {
  std::fprintf(stderr, "tessaline-series: %s\n%s", message.c_str(), kUsageText);
  return tessaline::series::kSeriesUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessaline;
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsageText, stdout);
    return series::kSeriesDone;
  }
  const bool update = argc >= 2 && std::strcmp(argv[1], "update") == 0;
  std::string file;
  int threads = 0;
  SetFiles layout = SetFiles::kPrefixed;
  for (int a = update ? 2 : 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--threads") == 0 && !update) {
      char* end = nullptr;
      const long n = a + 1 < argc ? std::strtol(argv[++a], &end, 10) : 0;
      if (end == nullptr || *end != '\0' || n < 1 || n > 256) {
        return usage("--threads takes a number from 1 to 256");
      }
      threads = static_cast<int>(n);
    } else if (std::strcmp(argv[a], "--dirs") == 0) {
      layout = SetFiles::kDirectories;
    } else if (argv[a][0] == '-' && argv[a][1] != '\0') {
      return usage(std::string("unknown option ") + argv[a]);
    } else if (file.empty()) {
      file = argv[a];
    } else {
      return usage("one series file at a time");
    }
  }
  if (file.empty()) return usage("no series file given");
  try {
    textio::check_standard_streams();
  } catch (const textio::TextError& e) {
    std::fprintf(stderr, "tessaline-series: %s\n", e.what());
    return series::kSeriesFailed;
  }
  textio::OutStream& console = textio::OutStream::console();
  return update ? series::run_update(file, layout, console)
                : series::run_series(file, threads, layout, console);
}
