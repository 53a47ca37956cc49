// Everything tessaline-posterior writes goes through here: the output
// directory, its text files (each written whole under a temporary name and
// renamed into place, textio::replace_file) and the pictures, which gnuplot
// draws into a temporary name in the output directory, renamed only when
// gnuplot succeeded.  gnuplot runs with the output directory as its working
// directory on scripts that name their files relative to it.  The program is
// taken from the PATH, or from the environment variable TESSALINE_GNUPLOT.
#pragma once

#include <string>
#include <vector>

#include "tools/posterior/pictures.hpp"

namespace tessaline::posterior {

// Creates `dir` (and its parents) when it does not exist and makes sure that a
// file can be created in it, before any sampling; throws PosteriorError naming
// the directory and the reason.
void prepare_output_directory(const std::string& dir);

// Writes text files into `dir`; throws PosteriorError.
void write_files(const std::string& dir, const std::vector<TextFile>& files);

// Writes the job's files and lets gnuplot draw the picture; throws
// PosteriorError when gnuplot cannot be run or fails (the picture is then not
// written, and an older one of that name is left as it was).
void draw(const std::string& dir, const PictureJob& job);

}  // namespace tessaline::posterior
