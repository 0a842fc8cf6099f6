#include "run/FlowSource.hpp"

#include "model/Errors.hpp"
#include "model/Schedule.hpp"
#include "model/ShowNumber.hpp"
#include "run/Controller.hpp"
#include "run/OuterStep.hpp"

namespace quarno {

namespace {
constexpr double kEndTolerance = 1e-10;  // relative
}  // namespace

FlowSource::FlowSource(const Model& m, Outputs& out, const FlowRecording& recording) {
  if (m.settings.steady_flow) {
    kind_ = Kind::frozen;
  } else if (recording.replay_from != nullptr) {
    const FlowRecordReader& r = *recording.replay_from;
    const std::string key = flow_record_key(m);
    if (r.key() == key && r.cells() == m.grid.M) {
      kind_ = Kind::replayed;
      record_ = recording.replay_from;
      check_record_follows(m);
    } else {
      out.warnings.write_line("note: " + r.path() + " records the flow of another set-up (key " +
                              r.key() + ", this run " + key + "); the flow is solved.");
    }
  }
  if (!recording.save_path.empty())
    recorder_ = std::make_unique<FlowRecorder>(m, recording.save_path, recording.level);
}

// The record's steps taken through this run's schedule from its time, as
// the time loop takes them: no step may pass the end of its interval (beyond
// the rounding of a step cut to end on it), the record may not end before
// the run does nor go on after it. Then back to the record's first entry.
void FlowSource::check_record_follows(const Model& m) {
  FlowRecordReader& r = *record_;
  FlowEvent event{};
  const double* values = nullptr;
  auto next_step = [&] {
    for (;;) {
      const FlowRecordReader::Entry entry = r.next(event, values);
      if (entry != FlowRecordReader::Entry::event) return entry == FlowRecordReader::Entry::step;
    }
  };
  double t = m.clock.t;
  for (int k = 1; k <= m.run.NTInt; ++k) {
    const double TEnd = interval_end(m.bic, k);
    while (interval_runs(t, TEnd)) {
      if (!next_step())
        throw InputError(r.path() + ": the flow record ends at t = " + show_number(t) +
                         " s, before this run does");
      const double tNew = t + values[0];
      if (tNew > TEnd + kEndTolerance * TEnd)
        throw InputError(r.path() + ": the flow record does not follow this run (at t = " +
                         show_number(t) + " s it steps " + show_number(values[0]) +
                         " s, past the end of the schedule row at " + show_number(TEnd) + " s)");
      t = tNew;
    }
  }
  if (next_step())
    throw InputError(r.path() + ": the flow record goes on after this run ends at t = " +
                     show_number(t) + " s");
  r.rewind();
}

int FlowSource::threads(const RunSettings& settings) const {
  return kind_ == Kind::replayed ? 1 : rhs_threads(settings);
}

void FlowSource::commit() {
  if (recorder_) recorder_->commit();
}

void FlowSource::show_event(Outputs& out, FlowEvent e) {
  show_flow_event(out, e, recorder_ ? &recorder_->writer() : nullptr);
}

// The Courant step, cut to end on TEnd when it would pass a point just short
// of it.
void FlowSource::step_length(Model& m, double TEnd) {
  RunState& c = m.clock;
  courant_step(m);
  if (c.dt < kMinStep)
    throw NumericalFailure("The flow solution cannot advance at t = " + show_number(c.t) + " s.");
  const double Tclamp = TEnd - kEndTolerance * TEnd;
  if (c.t + c.dt > Tclamp) c.dt = TEnd - c.t;
}

// The next outer step of the record: first the console events the
// controller showed during it, then its length, the one the Courant
// condition and the interval's end gave it. InputError when the record ends
// or does not follow this run.
void FlowSource::replay_step_length(Model& m, Outputs& out) {
  FlowRecordReader& r = *record_;
  FlowEvent event{};
  for (;;) {
    const FlowRecordReader::Entry entry = r.next(event, step_);
    if (entry == FlowRecordReader::Entry::step) break;
    if (entry == FlowRecordReader::Entry::end)
      throw InputError(r.path() + ": the flow record ends at t = " + show_number(m.clock.t) +
                       " s, before this run does");
    show_event(out, event);
  }
  const double dt = step_[0];
  if (!(dt > 0.0 && dt < 1e30))
    throw InputError(r.path() + ": the flow record does not follow this run (at t = " +
                     show_number(m.clock.t) + " s it steps " + show_number(dt) + " s)");
  m.clock.dt = dt;
}

// The state and the two face values the recorded step left.
void FlowSource::replay_flow(Model& m) {
  const double* v = step_;
  Flow& f = m.flow;
  const int n = m.grid.n;
  for (int i = 1; i <= n; ++i) f.y(i) = v[2 + i];
  f.hl(1) = v[1];
  f.qr(m.grid.M) = v[2];
}

void FlowSource::advance(Model& m, Outputs& out, double TEnd) {
  RunState& c = m.clock;
  if (kind_ == Kind::replayed)
    replay_step_length(m, out);
  else
    step_length(m, TEnd);
  const double tNew = c.t + c.dt;
  switch (kind_) {
    case Kind::frozen:
      break;
    case Kind::replayed:
      replay_flow(m);
      break;
    case Kind::solved:
      solve_flow_step(m, out, c.t, c.dt, tNew, kMaxInnerSteps,
                      recorder_ ? &recorder_->writer() : nullptr);
      break;
  }
  if (recorder_) recorder_->after_flow(m);
  c.t = tNew;
  if (kind_ != Kind::frozen) unpack_state(m);
  end_faces(m);
}

}  // namespace quarno
