#include "output/Progress.hpp"

#include <time.h>

#include <cstdio>

namespace quarno {

namespace {

constexpr double kRedrawPeriod = 0.25;  // s of wall time between redraws
constexpr double kLinePeriod = 5.0;     // s of wall time between progress lines

double wall_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

void Progress::start(double end_time) {
  end_time_ = end_time;
  started_ = wall_seconds();
  next_show_ = started_ + (mode_ == Mode::Redraw ? kRedrawPeriod : kLinePeriod);
}

void Progress::maybe_show(double t) {
  const double now = wall_seconds();
  if (now < next_show_) return;
  next_show_ = now + (mode_ == Mode::Redraw ? kRedrawPeriod : kLinePeriod);
  const double elapsed = now - started_;
  const double share = end_time_ > 0.0 ? t / end_time_ : 1.0;
  char left[48] = "";
  if (share > 0.0 && share < 1.0)
    std::snprintf(left, sizeof left, ", about %.0f s left", elapsed * (1.0 - share) / share);
  if (mode_ == Mode::Redraw) {
    std::fprintf(stderr, "\rt = %.1f s of %.1f s (%.0f%%), %.0f s elapsed%s\033[K", t, end_time_,
                 100.0 * share, elapsed, left);
    drawn_ = true;
  } else {
    std::fprintf(stderr, "progress: t = %.1f s of %.1f s (%.0f%%), %.0f s elapsed%s\n", t,
                 end_time_, 100.0 * share, elapsed, left);
  }
  std::fflush(stderr);
}

void Progress::maybe_show_steady(double pseudo_time, double change) {
  const double now = wall_seconds();
  if (now < next_show_) return;
  next_show_ = now + (mode_ == Mode::Redraw ? kRedrawPeriod : kLinePeriod);
  const char* start = mode_ == Mode::Redraw ? "\r" : "progress: ";
  const char* end = mode_ == Mode::Redraw ? "\033[K" : "\n";
  std::fprintf(stderr, "%ssteady flow: pseudo-time %.0f s, largest relative change %.1e, %.0f s elapsed%s",
               start, pseudo_time, change, now - started_, end);
  drawn_ = mode_ == Mode::Redraw;
  std::fflush(stderr);
}

void Progress::clear_line() {
  if (drawn_) std::fputs("\r\033[K", stderr);
  drawn_ = false;
}

}  // namespace quarno
