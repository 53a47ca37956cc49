// The fixed texts of the results file and of the monitor's blocks, shared by
// the writers (monitor.cpp, results_file.cpp) and the reader
// (results_reader.cpp), so that the reader always recognizes what is written.
#pragma once

#include <string_view>

namespace tessaline::results_layout {

// A block opens with a row of asterisks, written free-form after one blank; a
// finished run's results file closes with a line of percent signs.
inline constexpr int kRuleLength = 73;
inline constexpr char kBlockRule = '*';
inline constexpr char kClosingRule = '%';

// Group headings among the parameter lines; a layer's number follows as I4.
inline constexpr std::string_view kLayerHeading = "    Layer";
inline constexpr std::string_view kSubstrateHeading = "    Substrate";

// The state field after a parameter's value: fixed, an error estimate (" +/-",
// E9.2, 3X, E10.3 factor) perhaps followed by the bound mark, or no estimate.
inline constexpr std::string_view kFixedField = "      fixed";
inline constexpr std::string_view kErrorPrefix = " +/-";
inline constexpr std::string_view kOnBound = "  on bound";
inline constexpr std::string_view kInfiniteError = " +/- infinite";

// Labels of the lines that end a block, each right-justified in its field.
inline constexpr std::string_view kSpreadLabel = "   D=<Cos(gam)^2>-<Cos(gam)>^2:";
inline constexpr std::string_view kSqrtLabel = "                       sqrt(D):";
inline constexpr std::string_view kChiLabel = "   hi_sq.norm: ";

}  // namespace tessaline::results_layout
