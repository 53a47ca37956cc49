// Replacing the free values of an entry file by fitted values, in place.
//
// The entry-file reader records the line, byte column and length of every
// value's number token in the raw file, so the new text is the old one with
// those byte ranges replaced and nothing else touched.  The result is read back
// with the same reader and every replaced value compared with the block, so a
// splice that went wrong can never reach a file.
#include "driver/entry_update.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "driver/driver.hpp"

namespace tessaline {
namespace {

// The value of slot i as the monitor prints it.
std::string monitor_value(const Tables& t, const ParamVector& PARAM, int i) {
  return std::string(trim_blanks(textio::fmt_E(PARAM(i) / t.SCALE(i), 14, 6)));
}

// A value of the results file as the monitor prints it (the same text for a
// file the monitor wrote; a hand-edited field is brought to that form).
std::string monitor_value(const ResultsParameter& p) {
  return p.value ? std::string(trim_blanks(textio::fmt_E(*p.value, 14, 6))) : p.value_text;
}

// Decimal places between the monitor's unit and the entry file's: the
// scattering-length densities are printed in A^-2 and written in 1e-6 A^-2,
// alpha_0 is printed in rad and written in mrad.
int entry_unit_shift(EntryUnit unit) {
  if (unit == EntryUnit::kMicro) return 6;
  if (unit == EntryUnit::kMilli) return 3;
  return 0;
}

struct Splice {
  std::size_t offset;
  std::size_t length;
  std::string text;
};

// Byte offset of the start of every line of `text`.
std::vector<std::size_t> line_starts(const std::string& text) {
  std::vector<std::size_t> starts = {0};
  for (std::size_t k = 0; k < text.size(); ++k)
    if (text[k] == '\n') starts.push_back(k + 1);
  return starts;
}

// The splice that writes `text` over the number token `token`.
Splice splice_at(const std::vector<std::size_t>& line_start, const textio::TokenPosition& token,
                 std::string text) {
  const std::size_t offset = line_start[static_cast<std::size_t>(token.line - 1)] +
                             static_cast<std::size_t>(token.column - 1);
  return {offset, static_cast<std::size_t>(token.length), std::move(text)};
}

// `text` with every splice applied; the splices do not overlap.
std::string apply_splices(const std::string& text, std::vector<Splice> splices) {
  // The polarization values come first in the file but last in the vector.
  std::sort(splices.begin(), splices.end(),
            [](const Splice& a, const Splice& b) { return a.offset < b.offset; });
  std::string out;
  std::size_t at = 0;
  for (const Splice& s : splices) {
    out.append(text, at, s.offset - at);
    out += s.text;
    at = s.offset + s.length;
  }
  out.append(text, at, std::string::npos);
  return out;
}


struct ReadEntry {
  std::unique_ptr<Tables> t = make_tables();
  std::unique_ptr<EntrySources> sources = std::make_unique<EntrySources>();
};

ReadEntry read_entry_text(const std::string& text, const std::string& name) {
  ReadEntry e;
  e.t->pi = kPi;
  std::istringstream in(text);
  textio::OutStream quiet;  // never opened: the echo is dropped
  read_entry_file(*e.t, in, name, quiet, e.sources.get());
  return e;
}

constexpr std::size_t kMaxEntryBytes = std::size_t{64} << 20;

}  // namespace

std::string read_entry_bytes(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw textio::TextError("entry file \"" + name + "\" is a directory, not a file");
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    throw textio::TextError("entry file \"" + name +
                            "\" cannot be opened: " + std::strerror(errno));
  }
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxEntryBytes) {
      throw textio::TextError("entry file \"" + name + "\" is larger than " +
                              std::to_string(kMaxEntryBytes >> 20) + " MiB");
    }
  }
  if (in.bad()) throw textio::TextError("entry file \"" + name + "\" cannot be read");
  return text;
}

std::string shortest_number(double v) {
  char buf[40];
  if (!std::isfinite(v)) {
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }
  int digits = 1;
  for (; digits < 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // Fixed notation for the magnitudes people write that way (130, not
  // 1.3e+02), with the same significant digits.
  const double magnitude = std::fabs(v);
  if (magnitude >= 1e-4 && magnitude < 1e15) {
    const int exponent = static_cast<int>(std::floor(std::log10(magnitude)));
    std::snprintf(buf, sizeof buf, "%.*f", std::max(0, digits - 1 - exponent), v);
    if (std::strtod(buf, nullptr) == v) return buf;
  }
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

std::string shift_decimal(std::string_view number, int shift) {
  std::string s(trim_blanks(number));
  std::string sign;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    if (s[0] == '-') sign = "-";
    s.erase(0, 1);
  }
  // Mantissa digits and the place of the point among them.
  std::string digits;
  int point = -1;
  std::size_t i = 0;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      digits.push_back(s[i]);
    } else if (s[i] == '.' && point < 0) {
      point = static_cast<int>(digits.size());
    } else {
      break;
    }
  }
  if (point < 0) point = static_cast<int>(digits.size());
  // The exponent, held within +-kMaxExponent so that no sum below can
  // overflow; a double never needs more than three digits.
  constexpr long kMaxExponent = 100000;
  long exponent = 0;
  if (i < s.size()) {
    std::size_t j = i;
    if (s[j] == 'E' || s[j] == 'e' || s[j] == 'D' || s[j] == 'd') ++j;
    const bool negative = j < s.size() && s[j] == '-';
    if (j < s.size() && (s[j] == '-' || s[j] == '+')) ++j;
    for (; j < s.size() && s[j] >= '0' && s[j] <= '9'; ++j)
      exponent = std::min(kMaxExponent, 10 * exponent + (s[j] - '0'));
    if (negative) exponent = -exponent;
  }
  // value = 0.digits * 10^(point + exponent); leading zeros carry nothing.
  long place = point + exponent + shift;
  while (digits.size() > 1 && digits[0] == '0') {
    digits.erase(0, 1);
    --place;
  }
  if (digits.find_first_not_of('0') == std::string::npos) return "0.0";
  const int n = static_cast<int>(digits.size());
  if (place > 0 && place <= 15) {
    std::string whole = digits.substr(0, static_cast<std::size_t>(std::min<long>(place, n)));
    if (place > n) whole.append(static_cast<std::size_t>(place - n), '0');
    const std::string frac = place < n ? digits.substr(static_cast<std::size_t>(place)) : "0";
    return sign + whole + "." + frac;
  }
  if (place <= 0 && place > -3) {
    return sign + "0." + std::string(static_cast<std::size_t>(-place), '0') + digits;
  }
  return sign + digits.substr(0, 1) + "." + (n > 1 ? digits.substr(1) : "0") + "E" +
         std::to_string(place - 1);
}

EntryUpdate update_entry_text(const std::string& old_text, const std::string& old_name,
                              const ResultsBlock& block, const std::string& results_name,
                              const std::vector<int>& fixed_too) {
  const ReadEntry old = read_entry_text(old_text, old_name);
  const Tables& t = *old.t;
  const EntrySources& src = *old.sources;
  const std::string results_at = results_name + " (block of iteration " +
                                 std::to_string(block.iteration) + ", line " +
                                 std::to_string(block.line) + ")";

  const int npar = static_cast<int>(block.parameters.size());
  if (npar != t.NPAR) {
    std::string layers = "does not fit any number of layers";
    if (npar >= 17 && (npar - 17) % 6 == 0) layers = "nlay = " + std::to_string((npar - 17) / 6);
    throw UpdateRefused(results_at + " holds " + std::to_string(npar) + " parameters (" + layers +
                        "), but " + old_name + " has " + std::to_string(t.NPAR) + " (nlay = " +
                        std::to_string(t.nlay) + ", line " + std::to_string(src.nlay.line) + ")");
  }

  std::vector<Splice> splices;
  std::vector<bool> spliced(static_cast<std::size_t>(t.NPAR) + 1, false);
  const std::vector<std::size_t> line_start = line_starts(old_text);

  for (int i = 1; i <= t.NPAR; ++i) {
    const ResultsParameter& p = block.parameters[static_cast<std::size_t>(i - 1)];
    const ValueSource& v = src.slot(i);
    const std::string name(trimmed_name(t.PARNAM(i)));
    const std::string where_old = old_name + " line " + std::to_string(v.token.line);
    const std::string where_res = results_name + " line " + std::to_string(p.line);
    if (p.name != name) {
      throw UpdateRefused("parameter " + std::to_string(i) + ": " + where_res + " names it \"" +
                          p.name + "\", but " + where_old + " holds \"" + name + "\"");
    }
    // A value that is no number (asterisks, an exponent no double has) is a
    // fault of the results file, whichever entry file it is compared with.
    const auto no_number = [&] {
      return textio::TextError(where_res + ": the value of parameter " + std::to_string(i) + " (" +
                               name + ") is \"" + p.value_text + "\", not a number");
    };
    const bool take_fixed = std::find(fixed_too.begin(), fixed_too.end(), i) != fixed_too.end() &&
                            p.value && monitor_value(p) != monitor_value(t, t.PARAM, i);
    const bool fixed_old = t.STEPLIM(i) <= 0 && !take_fixed;
    if (fixed_old) {
      // A value fixed in both must be the same one; a value fixed only now (its
      // mark changed since the fit) simply stays.
      if (p.state != ParameterState::kFixed) continue;
      if (!p.value) throw no_number();
      const std::string was = monitor_value(t, t.PARAM, i);
      if (monitor_value(p) != was) {
        throw UpdateRefused("parameter " + std::to_string(i) + " (" + name + ") is fixed at " +
                            was + " in " + where_old + " but at " + p.value_text + " in " +
                            where_res);
      }
      continue;
    }
    if (!p.value) throw no_number();
    if (v.token.length == 0) {
      throw UpdateRefused(where_old + ": the value of parameter " + std::to_string(i) + " (" +
                          name + ") is left out with a slash; write a number there");
    }
    splices.push_back(
        splice_at(line_start, v.token, shift_decimal(p.value_text, entry_unit_shift(v.unit))));
    spliced[static_cast<std::size_t>(i)] = true;
  }

  EntryUpdate u;
  u.replaced = static_cast<int>(splices.size());
  u.text = apply_splices(old_text, std::move(splices));

  // Read back: every replaced value must now print as the block printed it.
  const ReadEntry now = read_entry_text(u.text, old_name);
  for (int i = 1; i <= t.NPAR; ++i) {
    const ResultsParameter& p = block.parameters[static_cast<std::size_t>(i - 1)];
    const std::string back = monitor_value(*now.t, now.t->PARAM, i);
    if (spliced[static_cast<std::size_t>(i)] && back != monitor_value(p)) {
      throw std::logic_error("the new value of parameter " + std::to_string(i) + " reads back as " +
                             back + ", not " + monitor_value(p));
    }
  }
  return u;
}

std::string edit_entry_text(const std::string& old_text, const std::string& old_name,
                            const EntryEdits& edits) {
  // Each value to write: a parameter slot (> 0) or one of the settings, its text.
  enum : int { kStep = -1, kSigma = -2, kZero = -3 };
  struct Edit {
    int target;
    std::string text;
    std::string what;
  };
  const auto token_of = [](const EntrySources& s, int target) -> const textio::TokenPosition& {
    if (target == kStep) return s.coll_step;
    if (target == kSigma) return s.coll_sigma;
    if (target == kZero) return s.zero_correction;
    return s.slot(target).token;
  };

  const ReadEntry old = read_entry_text(old_text, old_name);
  const auto check_slot = [&](int i) {
    if (i < 1 || i > old.t->NPAR) {
      throw UpdateRefused(old_name + " has no parameter " + std::to_string(i) + " (it has " +
                          std::to_string(old.t->NPAR) + ")");
    }
  };
  std::vector<Edit> list;
  if (edits.coll_step) list.push_back({kStep, shortest_number(*edits.coll_step), "the collimation step"});
  if (edits.coll_sigma) {
    list.push_back({kSigma, shortest_number(*edits.coll_sigma), "the collimation sigma"});
  }
  if (edits.zero_correction) {
    list.push_back({kZero, shortest_number(*edits.zero_correction), "the zero correction"});
  }
  for (const auto& [i, value] : edits.slots) {
    check_slot(i);
    list.push_back({i, shortest_number(value),
                    "the value of parameter " + std::to_string(i) + " (" +
                        std::string(trimmed_name(old.t->PARNAM(i))) + ")"});
  }

  const std::vector<std::size_t> line_start = line_starts(old_text);
  std::vector<Splice> splices;
  for (const Edit& e : list) {
    const textio::TokenPosition& token = token_of(*old.sources, e.target);
    if (token.length == 0) {
      throw UpdateRefused(old_name + " line " + std::to_string(token.line) + ": " + e.what +
                          " is left out with a slash; write a number there");
    }
    splices.push_back(splice_at(line_start, token, e.text));
  }
  for (const int i : edits.fix) {
    check_slot(i);
    // Only the first character of a mark line counts.
    if (old.t->STEPLIM(i) > 0) {
      const textio::TokenPosition line_start_token{old.sources->slot(i).mark_line, 1, 0};
      splices.push_back(splice_at(line_start, line_start_token, "F"));
    }
  }
  std::string text = apply_splices(old_text, std::move(splices));

  // Read back: every value must stand where the reader takes it from, and
  // every slot to fix must be fixed.
  const ReadEntry now = read_entry_text(text, old_name);
  for (const int i : edits.fix) {
    if (now.t->STEPLIM(i) > 0) {
      throw std::logic_error("parameter " + std::to_string(i) + " is still free");
    }
  }
  const std::vector<std::size_t> new_start = line_starts(text);
  for (const Edit& e : list) {
    const Splice at = splice_at(new_start, token_of(*now.sources, e.target), "");
    if (text.compare(at.offset, at.length, e.text) != 0) {
      throw std::logic_error(e.what + " was not written where the reader reads it");
    }
  }
  return text;
}

std::string update_failure_message(const std::exception& e, const std::string& entry_name,
                                   const std::string& results_name) {
  if (dynamic_cast<const UpdateRefused*>(&e) != nullptr) {
    return results_name + " does not belong to " + entry_name + ": " + e.what();
  }
  std::string refused = entry_name + " is refused by the program:";
  if (const auto* stop = dynamic_cast<const InputDialogueStop*>(&e)) {
    for (const auto& l : stop->lines()) refused += "\n  " + l;
    return refused;
  }
  if (dynamic_cast<const RunStop*>(&e) != nullptr) return refused + " " + e.what();
  return e.what();
}

}  // namespace tessaline
