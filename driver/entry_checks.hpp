// What a fit will meet in an entry file that the program accepts: the checks
// the reader has already passed (the limits, the magnetic pairs), stated, and
// warnings about values that it accepts but that the fit or the model treats
// in a way the user may not expect.  For tessaline-entry show; no I/O.
#pragma once

#include <string>
#include <vector>

#include "tables/tables.hpp"

namespace tessaline {

struct EntryCheck {
  bool ok = true;    // false: a warning
  std::string text;  // one line, without "ok"/"WARNING"
};

// The checks of the tables the entry-file reader filled, in a fixed order:
//  - the limits of nn, j0 and nlay and a wavelength the program accepts;
//  - N_p and <cos(delta_gamma)> never both free in a medium;
//  - the lengths of the polarizer's and the analyser's vectors: at most 1
//    (an ideal polarization of exactly 1 passes);
//  - every free value within its bounds (a value on a bound is within);
//  - a layer of thickness 0 whose roughness differs from that of the medium
//    below it: its two interfaces lie at one depth, and with two different
//    Nevot-Croce widths the layer is not neutral (it changes R);
//  - fewer free parameters than points.
std::vector<EntryCheck> entry_checks(const Tables& t);

}  // namespace tessaline
