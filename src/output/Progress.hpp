// Progress of a run on standard error: model time, share of the end time,
// elapsed wall time and an estimate of the time left. Redrawn in place on a
// terminal, or one line every few seconds for logs. Updating costs one clock
// read per outer step; nothing is allocated.
#pragma once

namespace quarno {

class Progress {
 public:
  enum class Mode { Off, Redraw, Lines };

  // How progress is shown; Off until set.
  void set_mode(Mode mode) { mode_ = mode; }
  // Starts the clock for a run that ends at model time `end_time` (s).
  void start(double end_time);
  // After an outer step that reached model time t.
  void update(double t) {
    if (mode_ != Mode::Off) maybe_show(t);
  }
  // While the flow is brought to its steady state: the pseudo-time reached
  // and the largest relative change over the last step.
  void update_steady(double pseudo_time, double change) {
    if (mode_ != Mode::Off) maybe_show_steady(pseudo_time, change);
  }
  // Clears a redrawn line, so that console text that follows starts on a
  // clean line; the next update draws it again.
  void clear_line();

 private:
  void maybe_show(double t);
  void maybe_show_steady(double pseudo_time, double change);
  Mode mode_ = Mode::Off;
  double end_time_ = 0.0;
  double started_ = 0.0;    // wall clock, s
  double next_show_ = 0.0;  // wall clock, s
  bool drawn_ = false;
};

}  // namespace quarno
