// A series loaded for its joint fit: every set's tables, and the joint
// parameter vector that LSQFIT refines.
//
// The joint vector holds each shared parameter that is free once (its start
// value, bounds and step limit from the first set), then, set by set, every
// parameter that the set leaves free and does not share, each group in the
// order of the slots.  A fixed value stays in its set's tables; a shared fixed
// value is the first set's in every set.  So the joint vector is as long as
// the free parameters of the whole series, which must fit the minimizer's
// capacity of kMaxPar slots.
//
// Each set keeps its own Tables (its points, its collimation kernel, the
// values it does not fit); scatter() writes the joint values into them, so
// that the model, the reports and the curve files of a set read its tables as
// those of a fit of its own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/driver.hpp"
#include "driver/problem.hpp"
#include "tables/tables.hpp"
#include "tools/series/series_file.hpp"

namespace tessaline::series {

struct SeriesSet {
  std::string name;
  int line = 0;  // its set line in the series file
  ProblemFiles files;
  std::unique_ptr<Tables> t;
  std::unique_ptr<EntrySources> sources;  // where each entry-file value stands, and its unit
  std::vector<int> joint;  // joint[i]: index in the joint vector of slot i, 0 when it is fixed
  int nfree = 0;           // slots of this set in the joint vector, shared ones included
};

// The origin of one joint parameter: a slot shared by every set (set = -1),
// or a slot of one set (its index in Series::sets).
struct JointSlot {
  int set = -1;
  int slot = 0;
};

struct Series {
  std::string file;  // the series file
  std::vector<SeriesSet> sets;
  // The joint parameter vector: PARAM, SCALE, STEPLIM, PARMIN, PARMAX and
  // PARNAM of its NPAR slots, every one free; no points.
  std::unique_ptr<Tables> joint;
  std::vector<JointSlot> slots;  // slots[j - 1] for joint index j
  std::vector<bool> shared;      // shared[i] for slot i of a set, 1..npar()
  int nshared = 0;               // shared slots in the joint vector (the first ones)
  std::vector<std::string> warnings;

  int npar() const { return sets.front().t->NPAR; }
  int npoint() const;
  // Every set's PARAM from the joint vector.
  void scatter(const ParamVector& PARAM);
};

// Loads every set (load_problem) and builds the joint vector.  Refuses, with a
// SeriesError naming the series file's line (and the set's file): a set the
// program would not fit, sets with different numbers of layers, a parameter
// number beyond the sets' parameters, a bound of one set on a shared
// parameter, a bound outside the program's own bounds, a free start value
// outside the bounds given for it, N_p and <cos(delta_gamma)> of one medium
// both free once the shared parameters take the first set's marks, and more
// free parameters than the minimizer holds.  A shared parameter whose value or
// mark differs between the sets is a warning (Series::warnings): the first
// set's is taken.
Series load_series(const SeriesDescription& d);

// A parameter as messages name it: "7 (thickness, layer 2)".
std::string parameter_label(const Tables& t, int i);

}  // namespace tessaline::series
