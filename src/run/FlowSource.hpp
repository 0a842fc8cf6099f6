// Where the flow of each outer step comes from: solved by the step
// controller, taken from a flow record that matches the run, or kept as it
// is (a frozen steady flow, while only the transport moves). The time loop
// asks the same of each: carry the flow over the next outer step.
#pragma once

#include <memory>

#include "input/FlowRecordFile.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"
#include "run/FlowReplay.hpp"

namespace quarno {

class FlowSource {
 public:
  enum class Kind { solved, replayed, frozen };

  // Chooses the source once the model is set up (its flow state and clock
  // as the time loop starts from them): frozen when the run's flow is
  // steady; replayed when `recording` names a record whose key is this
  // run's (a record that does not match is noted on the warnings stream and
  // the flow is solved); solved otherwise. A matching record whose steps do
  // not take this run from its time to its end, row by row, is refused
  // (InputError naming it) before the first step. Opens the recorder when the flow
  // is to be recorded.
  FlowSource(const Model& m, Outputs& out, const FlowRecording& recording);

  Kind kind() const { return kind_; }
  // Threads of the flow right-hand side: a replayed flow evaluates none.
  int threads(const RunSettings& settings) const;

  // One outer step of the flow from the model time to at most `TEnd`: the
  // step length into m.clock.dt (from the Courant condition, cut to end on
  // TEnd, or as the record has it), the flow state at the step's end, the
  // model time advanced to it, the cell fields and the face discharges at
  // both ends. Console events of the step controller are shown as pauses.
  void advance(Model& m, Outputs& out, double TEnd);

  // Once the run has succeeded: a flow record being written takes its
  // place.
  void commit();

 private:
  void check_record_follows(const Model& m);
  void step_length(Model& m, double TEnd);
  void replay_step_length(Model& m, Outputs& out);
  void replay_flow(Model& m);
  void show_event(Outputs& out, FlowEvent e);

  Kind kind_ = Kind::solved;
  FlowRecordReader* record_ = nullptr;      // the record replayed
  const double* step_ = nullptr;            // the values of the outer step replayed
  std::unique_ptr<FlowRecorder> recorder_;  // where the flow is recorded
};

}  // namespace quarno
