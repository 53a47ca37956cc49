// A whole run of tessaline-posterior: see run.hpp.
#include "tools/posterior/run.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "textio/output_files.hpp"
#include "tools/posterior/output.hpp"
#include "tools/posterior/report.hpp"

namespace tessaline::posterior {

namespace {

// The progress line: generation, acceptance, the largest R-hat of the second
// half of the generations so far, and the time left.  It appears once the run
// has taken a few seconds: on a terminal as one line rewritten in place, else
// as a line every ten seconds.
class ProgressLine {
 public:
  explicit ProgressLine(std::ostream& err) : err_(err), tty_(isatty(STDERR_FILENO) == 1) {}

  void update(const SamplerStatus& st, const Samples& s) {
    const double every = tty_ ? 0.5 : 10.0;
    if (st.seconds < kQuiet || st.seconds - last_ < every) return;
    last_ = st.seconds;
    const double rhat = max_rhat(s, s.generations / 2);
    const double left = st.seconds / static_cast<double>(st.generation) *
                        static_cast<double>(st.total - st.generation);
    char line[200];
    std::snprintf(line, sizeof line,
                  "generation %ld of %ld%s, acceptance %.2f, R-hat %s, about %s left",
                  st.generation, st.total, st.generation <= st.burn ? " (burn-in)" : "",
                  st.acceptance, std::isfinite(rhat) ? format_rhat(rhat).c_str() : "-",
                  duration(left).c_str());
    if (tty_) {
      err_ << "\r" << line << "\033[K" << std::flush;
      shown_ = true;
    } else {
      err_ << line << "\n" << std::flush;
    }
  }

  void end() {
    if (shown_) err_ << "\n" << std::flush;
  }

 private:
  static constexpr double kQuiet = 3.0;  // seconds without a progress line

  static std::string format_rhat(double r) {
    char buf[32];
    std::snprintf(buf, sizeof buf, r < 100 ? "%.3f" : "%.3g", r);
    return buf;
  }
  static std::string duration(double s) {
    char buf[48];
    if (s < 60) {
      std::snprintf(buf, sizeof buf, "%.0f s", s);
    } else if (s < 3600) {
      std::snprintf(buf, sizeof buf, "%.0f min %.0f s", std::floor(s / 60), std::fmod(s, 60.0));
    } else {
      std::snprintf(buf, sizeof buf, "%.1f h", s / 3600);
    }
    return buf;
  }

  std::ostream& err_;
  bool tty_;
  bool shown_ = false;
  double last_ = 0;
};

std::string signal_name(int sig) {
  const char* abbrev = sigabbrev_np(sig);
  return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

}  // namespace

int run(const Options& o, std::ostream& out, std::ostream& err,
        const volatile std::sig_atomic_t& signal) {
  const auto fail = [&err](const std::string& message) {
    err << "tessaline-posterior: " << message << "\n";
    return kExitRefused;
  };
  Problem p;
  try {
    // No file the run writes may be one it reads.
    std::vector<textio::NamedFile> inputs{{o.entry, "entry file"}, {o.data, "data file"}};
    if (!o.from.empty()) inputs.push_back({o.from, "results file"});
    std::vector<textio::NamedFile> outputs;
    for (const char* f : {"samples.txt", "summary.txt", "posterior.png", "bands.png"})
      outputs.push_back({o.out + "/" + f, "output"});
    textio::check_outputs(inputs, outputs);
  } catch (const textio::TextError& e) {
    return fail(e.what());
  }
  try {
    p = load({o.entry, o.data, o.first, o.last, o.from, o.bounds});
    prepare_output_directory(o.out);
  } catch (const PosteriorError& e) {
    return fail(e.what());
  }

  SamplerSettings s;
  s.chains = o.chains;
  s.burn = o.burn_generations();
  s.kept = o.kept_generations();
  s.seed = o.seed;
  s.threads = o.threads;
  out << "tessaline-posterior: " << p.free.size() << " free parameters, " << p.t->npoint
      << " points; " << s.burn << " generations of burn-in and " << s.kept << " kept, of "
      << s.chains << " chains (" << s.kept * s.chains << " samples), seed " << s.seed << "\n"
      << std::flush;

  ProgressLine progress(err);
  SamplerResult r;
  const StartSpread spread = start_spread(p, o.threads);
  r = run_sampler(
      p, spread, s, [&progress](const SamplerStatus& st, const Samples& all) {
        progress.update(st, all);
      },
      [&signal] { return signal != 0; });
  progress.end();

  RunEnd end;
  const int sig = signal;
  if (r.interrupted) {
    end.complete = false;
    end.reason = "interrupted by " + signal_name(sig) + " after generation " +
                 std::to_string(r.generations) + " of " + std::to_string(s.burn + s.kept);
  }
  const Analysis a = analyze(p, r);
  const std::string summary = summary_text(p, o, r, a, end);
  const bool matrix = static_cast<int>(p.free.size()) <= kConsoleMatrix;
  out << "\n" << (matrix ? summary : summary_text(p, o, r, a, end, false)) << std::flush;
  int status = end.complete ? kExitDone : 128 + sig;
  try {
    write_files(o.out, {{"samples.txt", samples_text(p, o, r, end)}, {"summary.txt", summary}});
  } catch (const PosteriorError& e) {
    return fail(e.what());
  }
  out << "\nSamples written to " << o.out << "/samples.txt, the summary to " << o.out
      << "/summary.txt";
  if (!end.complete || a.kept < 2) {
    out << "; no pictures drawn" << (end.complete ? " (too few samples)" : " (interrupted)")
        << ".\n";
    return status;
  }
  out << ".\n" << std::flush;
  for (const auto& make : {+[](const Problem& q, const SamplerResult& rr, const Analysis& aa) {
                             return posterior_picture(q, rr, aa);
                           },
                           +[](const Problem& q, const SamplerResult& rr, const Analysis& aa) {
                             return band_picture(q, rr, aa);
                           }}) {
    try {
      const PictureJob job = make(p, r, a);
      draw(o.out, job);
      out << "Picture written to " << o.out << "/" << job.picture << ".\n";
    } catch (const PosteriorError& e) {
      status = fail(e.what());
    }
  }
  return status;
}

}  // namespace tessaline::posterior
