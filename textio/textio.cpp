// Field notation, free-form output and free-form input of the text-record layer.
//
// Numbers are rounded as a Fortran runtime does: to the nearest decimal, with an
// exact tie rounded away from zero.  The decimal digits come from printf with far
// more digits than a double can need to tell a tie from a near-tie, and are then
// rounded here.
#include "textio/textio.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <limits>

namespace tessaline::textio {

namespace {

std::string stars(int w) { return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

std::string right(std::string s, int w) {
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// Significant decimal digits of |v| (v finite, non-zero) and its decimal exponent
// e such that |v| = 0.d1 d2 d3 ... x 10^e; the digit string is long enough to be
// rounded correctly to any precision a format asks for.
struct Decimal {
  std::string digits;
  int exp10 = 0;
};

Decimal decimal_of(double v) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%.45e", std::fabs(v));
  Decimal d;
  const char* p = buf;
  d.digits.push_back(*p++);
  if (*p == '.') ++p;
  while (*p >= '0' && *p <= '9') d.digits.push_back(*p++);
  d.exp10 = std::atoi(p + 1) + 1;  // p points at 'e'
  return d;
}

// Keep the first n digits (n >= 0), rounding half away from zero; a carry out of
// the first digit raises the exponent.
void round_to(Decimal& d, int n) {
  if (n < 0) {
    d.digits.assign(1, '0');
    d.exp10 += -n;
    return;
  }
  if (static_cast<int>(d.digits.size()) <= n) {
    d.digits.append(static_cast<std::size_t>(n) - d.digits.size(), '0');
    return;
  }
  const bool up = d.digits[static_cast<std::size_t>(n)] >= '5';
  d.digits.resize(static_cast<std::size_t>(n));
  if (!up) return;
  int i = n - 1;
  while (i >= 0 && d.digits[static_cast<std::size_t>(i)] == '9') {
    d.digits[static_cast<std::size_t>(i)] = '0';
    --i;
  }
  if (i >= 0) {
    ++d.digits[static_cast<std::size_t>(i)];
  } else {
    d.digits.insert(d.digits.begin(), '1');
    d.digits.pop_back();
    ++d.exp10;
  }
}

bool all_zero(const std::string& s) { return s.find_first_not_of('0') == std::string::npos; }

}  // namespace

std::string fmt_I(long v, int w) { return right(std::to_string(v), w); }

std::string fmt_A(std::string_view s, int w) {
  if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

std::string fmt_F(double v, int w, int d) {
  if (!std::isfinite(v)) return stars(w);
  std::string ip, fp(static_cast<std::size_t>(d), '0');
  if (v == 0.0) {
    ip = "";
  } else {
    Decimal dec = decimal_of(v);
    // Digits to keep: those before the point plus d decimals.
    const int keep = dec.exp10 + d;
    if (keep < 0) {
      dec.digits.assign(1, '0');
      dec.exp10 = 0;
    } else if (keep == 0) {
      // Only the rounding of 0.5 x 10^-d and above gives a 1 in the last decimal.
      const bool up = dec.digits[0] >= '5';
      dec.digits.assign(1, up ? '1' : '0');
      dec.exp10 = up ? 1 - d : 0;
    } else {
      round_to(dec, keep);
    }
    // Lay the digits out around the point.
    const int e = dec.exp10;
    std::string all = dec.digits;
    if (all_zero(all)) {
      ip = "";
    } else if (e > 0) {
      if (static_cast<int>(all.size()) < e + d)
        all.append(static_cast<std::size_t>(e + d) - all.size(), '0');
      ip = all.substr(0, static_cast<std::size_t>(e));
      fp = all.substr(static_cast<std::size_t>(e), static_cast<std::size_t>(d));
    } else {
      std::string frac = std::string(static_cast<std::size_t>(-e), '0') + all;
      if (static_cast<int>(frac.size()) < d)
        frac.append(static_cast<std::size_t>(d) - frac.size(), '0');
      fp = frac.substr(0, static_cast<std::size_t>(d));
    }
  }
  std::string body(v < 0 ? 1 : 0, '-');
  // The zero before the point of a value below 1 is written when there is room.
  if (ip.empty() && static_cast<int>(body.size() + fp.size()) + 2 <= w) ip.push_back('0');
  body += ip;
  body.push_back('.');
  body += fp;
  return right(body, w);
}

std::string fmt_E(double v, int w, int d) {
  if (!std::isfinite(v)) return stars(w);
  std::string mant(static_cast<std::size_t>(d), '0');
  int e = 0;
  if (v != 0.0) {
    Decimal dec = decimal_of(v);
    round_to(dec, d);
    mant = dec.digits;
    e = dec.exp10;
  }
  std::string ex;
  const int ae = e < 0 ? -e : e;
  if (ae <= 99) {
    ex = std::string("E") + (e < 0 ? "-" : "+") + (ae < 10 ? "0" : "") + std::to_string(ae);
  } else if (ae <= 999) {
    ex = std::string(e < 0 ? "-" : "+") + std::to_string(ae);
  } else {
    return stars(w);
  }
  const std::string sign = v < 0 ? "-" : "";
  std::string body = sign + "." + mant + ex;
  if (static_cast<int>(body.size()) < w) body = sign + "0." + mant + ex;
  return right(body, w);
}

std::string fmt_free_real(double v) {
  constexpr int kWidth = 24;
  if (std::isnan(v)) return right("NaN", kWidth);
  if (std::isinf(v)) return right(v < 0 ? "-Infinity" : "Infinity", kWidth);
  const std::string sign = v < 0 ? "-" : "";
  if (v != 0.0) {
    Decimal dec = decimal_of(v);
    round_to(dec, 15);
    // 0.1 <= |v| < 1e15 after rounding to 15 significant digits: fixed notation.
    if (dec.exp10 >= 0 && dec.exp10 <= 15) {
      const int k = dec.exp10;  // digits before the point
      std::string body = sign + (k == 0 ? "0" : dec.digits.substr(0, static_cast<std::size_t>(k))) +
                         "." + dec.digits.substr(static_cast<std::size_t>(k));
      return right(body + "     ", kWidth);
    }
  }
  // Exponent form with one digit before the point and 15 after.
  std::string digits(16, '0');
  int e = 0;
  if (v != 0.0) {
    Decimal dec = decimal_of(v);
    round_to(dec, 16);
    digits = dec.digits;
    e = dec.exp10 - 1;
  }
  const int ae = e < 0 ? -e : e;
  char ex[16];
  std::snprintf(ex, sizeof ex, "E%c%03d", e < 0 ? '-' : '+', ae);
  return right(sign + digits.substr(0, 1) + "." + digits.substr(1) + ex, kWidth);
}

// ---------------------------------------------------------------- output

OutStream::~OutStream() {
  if (f_ != nullptr && !console_) std::fclose(f_);
}

OutStream& OutStream::console() {
  static OutStream s;
  if (s.f_ == nullptr) {
    s.f_ = stdout;
    s.console_ = true;
    s.name_ = "the console";
  }
  return s;
}

void OutStream::create(const std::string& name) {
  close();
  std::FILE* f = std::fopen(name.c_str(), "w");
  if (f == nullptr) {
    throw TextError("cannot create file \"" + name + "\": " + std::strerror(errno));
  }
  std::setvbuf(f, nullptr, _IOLBF, BUFSIZ);
  f_ = f;
  name_ = name;
  console_ = false;
  error_ = 0;
}

int OutStream::fd() const { return f_ != nullptr ? ::fileno(f_) : -1; }

void OutStream::close() {
  if (f_ == nullptr || console_) return;
  const bool bad = std::ferror(f_) != 0;
  const bool failed_close = std::fclose(f_) != 0;
  if (failed_close && error_ == 0) error_ = errno;
  f_ = nullptr;
  if (bad || failed_close) fail();
}

void OutStream::fail() const {
  const std::string reason = error_ != 0 ? std::string(": ") + std::strerror(error_) : "";
  if (console_) throw TextError("cannot write to standard output" + reason);
  throw TextError("cannot write file \"" + name_ + "\"" + reason);
}

void OutStream::put(std::string_view text) {
  if (f_ == nullptr) return;
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f_) != text.size() && error_ == 0)
    error_ = errno;
  check();
}

void OutStream::write(std::string_view line) {
  if (f_ == nullptr) return;
  put(line);
  if (std::fputc('\n', f_) == EOF && error_ == 0) error_ = errno;
  check();
}

void OutStream::write_free(std::string_view text) {
  std::string line = " ";
  line += text;
  write(line);
}

void OutStream::write_free(std::initializer_list<double> values) {
  std::string line = " ";
  for (double v : values) line += fmt_free_real(v);
  write(line);
}

void OutStream::flush() {
  if (f_ != nullptr) std::fflush(f_);
}

void OutStream::check() {
  // The console is flushed line by line, so that a full disk or a closed pipe
  // behind standard output is noticed at once rather than at exit.
  if (console_ && std::fflush(f_) != 0 && error_ == 0) error_ = errno;
  if (std::ferror(f_) != 0) fail();
}

// ---------------------------------------------------------------- input

// Console input is implemented in console.cpp, which shares its buffer with the
// final key wait.  console_getline() is false at the end of input or when
// standard input cannot be read; console_read_error() then tells which (the
// errno of the failed read, or 0 at a plain end).
bool console_getline(std::string& line, std::string::size_type max_len);
int console_read_error();

std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string q = "\"";
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      q += buf;
    } else {
      q.push_back(static_cast<char>(c));
    }
  }
  if (text.size() > kShown) q += "...";
  q += "\"";
  if (text.size() > kShown) q += " (" + std::to_string(text.size()) + " characters)";
  return q;
}

InStream::~InStream() {
  if (f_ != nullptr) std::fclose(f_);
}

InStream& InStream::console() {
  static InStream s;
  s.console_ = true;
  s.name_ = "standard input";
  s.role_ = "standard input";
  return s;
}

void InStream::open(const std::string& name, std::string_view role) {
  close();
  std::FILE* f = std::fopen(name.c_str(), "r");
  if (f == nullptr) {
    throw TextError(std::string(role) + " \"" + name +
                    "\" cannot be opened: " + std::strerror(errno));
  }
  struct stat st;
  if (::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    throw TextError(std::string(role) + " \"" + name + "\" is a directory, not a file");
  }
  f_ = f;
  name_ = name;
  role_ = role;
  reset_position();
}

void InStream::open(std::istream& in, const std::string& name, std::string_view role) {
  close();
  in_ = in.rdbuf();
  name_ = name;
  role_ = role;
  reset_position();
}

void InStream::reset_position() {
  line_no_ = 0;
  line_skipped_ = 0;
  pending_ = false;
  last_token_ = TokenPosition{};
}

void InStream::close() {
  if (f_ != nullptr) std::fclose(f_);
  f_ = nullptr;
  in_ = nullptr;
}

bool InStream::next_line() {
  if (pending_) {
    pending_ = false;
    return true;
  }
  line_.clear();
  line_skipped_ = 0;
  if (console_) {
    if (!console_getline(line_, kMaxLine)) return false;
  } else {
    if (f_ == nullptr && in_ == nullptr) return false;
    using Traits = std::char_traits<char>;
    const auto get = [this]() -> int {
      if (f_ != nullptr) return std::fgetc(f_);
      const Traits::int_type c = in_->sbumpc();
      return Traits::eq_int_type(c, Traits::eof()) ? EOF
                                                   : Traits::to_int_type(Traits::to_char_type(c));
    };
    int c;
    bool any = false;
    while ((c = get()) != EOF) {
      any = true;
      if (c == '\n') break;
      if (line_.size() == kMaxLine) {
        throw TextError(role_ + " \"" + name_ + "\", line " + std::to_string(line_no_ + 1) +
                        ": the line is longer than " + std::to_string(kMaxLine) +
                        " characters; is this a text file?");
      }
      line_.push_back(static_cast<char>(c));
    }
    if (f_ != nullptr && std::ferror(f_) != 0) {
      throw TextError(role_ + " \"" + name_ + "\" cannot be read after line " +
                      std::to_string(line_no_) + ": " + std::strerror(errno));
    }
    if (!any) return false;
    // A UTF-8 byte-order mark that an editor put before the first line is not text.
    if (line_no_ == 0 && line_.rfind("\xEF\xBB\xBF", 0) == 0) {
      line_.erase(0, 3);
      line_skipped_ = 3;
    }
  }
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  ++line_no_;
  return true;
}

std::string InStream::where() const {
  if (console_) return "standard input";
  return role_ + " \"" + name_ + "\", line " + std::to_string(line_no_);
}

void InStream::fail_end(std::string_view what) const {
  if (console_) {
    const int err = console_read_error();
    if (err != 0) {
      throw TextError(std::string("standard input cannot be read (") + std::strerror(err) +
                      "); expected " + std::string(what));
    }
    throw TextError("standard input ended; expected " + std::string(what));
  }
  throw TextError(role_ + " \"" + name_ + "\" ends early after line " + std::to_string(line_no_) +
                  "; expected " + std::string(what));
}

void InStream::fail_value(std::string_view token, std::string_view what,
                          std::string_view problem) const {
  throw TextError(where() + ": " + quoted(token) + " " + std::string(problem) + "; expected " +
                  std::string(what));
}

struct InStream::Item {
  enum Kind { kReal, kInt, kText } kind;
  void* target;
  std::string::size_type max_len = 0;
};

namespace {

bool is_sep(char c) { return c == ' ' || c == '\t' || c == ','; }
bool is_blank_line(const std::string& s) {
  return s.find_first_not_of(" \t,") == std::string::npos;
}

// Fortran-style real: [sign] digits [. digits] [(E|D) [sign] digits], at least one
// digit in the mantissa.
bool parse_real(const std::string& tok, double& out) {
  std::string s = tok;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t mant_digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++mant_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++mant_digits;
  }
  if (mant_digits == 0) return false;
  if (i < s.size()) {
    if (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd') {
      s[i] = 'e';
      ++i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      std::size_t exp_digits = 0;
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++exp_digits;
      if (exp_digits == 0) return false;
    }
    if (i != s.size()) return false;
  }
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parse_int(const std::string& s, int& out) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == s.size()) return false;
  for (std::size_t j = i; j < s.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(s[j]))) return false;
  errno = 0;
  const long v = std::strtol(s.c_str(), nullptr, 10);
  if (errno == ERANGE || v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min())
    return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

bool parse_number(const std::string& token, double& v) { return parse_real(token, v); }

void InStream::read_items(Item* items, int n, std::string_view what) {
  if (!next_line()) fail_end(what);
  std::size_t pos = 0;
  int k = 0;
  while (k < n) {
    while (pos < line_.size() && is_sep(line_[pos])) ++pos;
    if (pos >= line_.size()) {
      if (!next_line()) fail_end(what);
      pos = 0;
      continue;
    }
    Item& it = items[k];
    // A slash ends the read and leaves the remaining items unchanged; in a text
    // item (a file name) it is part of the text, so that paths need no quotes.
    if (line_[pos] == '/' && it.kind != Item::kText) {
      last_token_ = {line_no_, line_skipped_ + static_cast<int>(pos) + 1, 0};
      return;
    }
    const std::size_t start = pos;
    std::string tok;
    if (it.kind == Item::kText && (line_[pos] == '\'' || line_[pos] == '"')) {
      const char q = line_[pos++];
      bool closed = false;
      while (pos < line_.size()) {
        if (line_[pos] == q) {
          if (pos + 1 < line_.size() && line_[pos + 1] == q) {  // doubled quote
            tok.push_back(q);
            pos += 2;
            continue;
          }
          ++pos;
          closed = true;
          break;
        }
        tok.push_back(line_[pos++]);
      }
      if (!closed) fail_value(tok, what, "has no closing quote");
    } else {
      while (pos < line_.size() && !is_sep(line_[pos]) &&
             (line_[pos] != '/' || it.kind == Item::kText))
        tok.push_back(line_[pos++]);
    }
    last_token_ = {line_no_, line_skipped_ + static_cast<int>(start) + 1,
                   static_cast<int>(pos - start)};
    if (it.kind != Item::kText && tok.size() > kMaxToken) {
      fail_value(tok, what,
                 "is longer than " + std::to_string(kMaxToken) + " characters, which no number is");
    }
    switch (it.kind) {
      case Item::kReal: {
        double v;
        if (!parse_real(tok, v)) fail_value(tok, what, "is not a number");
        *static_cast<double*>(it.target) = v;
        break;
      }
      case Item::kInt: {
        int v;
        if (!parse_int(tok, v))
          fail_value(tok, what, "is not an integer (written without a decimal point)");
        *static_cast<int*>(it.target) = v;
        break;
      }
      case Item::kText: {
        if (tok.size() > it.max_len) {
          throw TextError(where() + ": a name of " + std::to_string(tok.size()) +
                          " characters is longer than the " + std::to_string(it.max_len) +
                          " allowed; expected " + std::string(what));
        }
        *static_cast<std::string*>(it.target) = tok;
        break;
      }
    }
    ++k;
  }
}

void InStream::read(double& v, std::string_view what) {
  Item it{Item::kReal, &v};
  read_items(&it, 1, what);
}

void InStream::read(int& v, std::string_view what) {
  Item it{Item::kInt, &v};
  read_items(&it, 1, what);
}

void InStream::read(double* v, int n, std::string_view what) {
  Item items[8];
  if (n > 8) n = 8;
  for (int i = 0; i < n; ++i) items[i] = Item{Item::kReal, v + i};
  read_items(items, n, what);
}

void InStream::read_text(std::string& s, std::string::size_type max_len, std::string_view what) {
  Item it{Item::kText, &s, max_len};
  read_items(&it, 1, what);
}

void InStream::skip_line(std::string_view what) {
  if (!next_line()) fail_end(what);
}

char InStream::read_char(std::string_view what) {
  if (!next_line()) fail_end(what);
  return line_.empty() ? ' ' : line_[0];
}

bool InStream::read_line(std::string& line) {
  if (!next_line()) return false;
  line = line_;
  return true;
}

bool InStream::peek_line(std::string& line) {
  if (!next_line()) return false;
  pending_ = true;
  line = line_;
  return true;
}

bool InStream::more_tokens() {
  while (next_line()) {
    if (!is_blank_line(line_)) {
      pending_ = true;
      return true;
    }
  }
  return false;
}

int InStream::find_number_line() {
  while (next_line()) {
    std::size_t pos = 0;
    while (pos < line_.size()) {
      while (pos < line_.size() && (is_sep(line_[pos]) || line_[pos] == '/')) ++pos;
      const std::size_t start = pos;
      while (pos < line_.size() && !is_sep(line_[pos]) && line_[pos] != '/') ++pos;
      double v = 0;
      if (pos > start && pos - start <= kMaxToken &&
          parse_real(line_.substr(start, pos - start), v))
        return line_no_;
    }
  }
  return 0;
}

}  // namespace tessaline::textio
