#include "run/FlowReplay.hpp"


#include "input/StateText.hpp"
#include "model/Errors.hpp"
#include "model/ShowNumber.hpp"
#include "run/Controller.hpp"

#ifndef QUARNO_VERSION
#define QUARNO_VERSION "unknown"
#endif

namespace quarno {

std::string flow_record_key(const Model& m) {
  // The program's version stands for the flow's arithmetic: a change that
  // alters any flow value must come with a new version (or record format),
  // or records of the old arithmetic would be replayed as if they matched.
  static constexpr char kFormat[] = "quarno flow record 1, quarno " QUARNO_VERSION;
  KeyHash h;
  h.add(kFormat, sizeof kFormat);
  const Grid& gr = m.grid;
  const int M = gr.M;
  const int N = m.run.Nfdn;
  h.add(M);
  h.add(N);
  h.add(gr.dx);
  for (const Array<double>* cells : {&gr.Xc, &gr.Xl, &gr.Xr, &gr.B, &gr.dBdx, &gr.S, &gr.RoughC})
    h.add(*cells, 1, M);
  h.add(m.nodes.WidthN, 1, N);
  h.add(m.nodes.GWUpwN, 1, N);
  h.add(m.bic.NB0);
  h.add(m.bic.NBL);
  h.add(m.run.NTInt);
  for (int k = 1; k <= m.run.NTInt; ++k) {
    h.add(m.bic.TBC(k));
    h.add(m.bic.hBC(k));
    h.add(m.bic.QBC(k));
  }
  h.add(m.flow.y, 1, gr.n);
  h.add(m.clock.t);
  h.add(m.clock.dt);
  h.add(m.clock.mid_row ? 1 : 0);
  h.add(m.bnd.h0);
  return h.hex();
}

void start_flow_recording(const Model& m, Outputs& out, FlowRecording& flow) {
  const std::string key = flow_record_key(m);
  if (flow.replay_from != nullptr) {
    const FlowRecordReader& r = *flow.replay_from;
    flow.replaying = r.key() == key && r.cells() == m.grid.M;
    if (!flow.replaying)
      out.warnings.write_line("note: " + r.path() + " records the flow of another set-up (key " +
                              r.key() + ", this run " + key + "); the flow is solved.");
  }
  if (!flow.save_path.empty())
    flow.writer = std::make_unique<FlowRecordWriter>(flow.save_path, key,
                                                     "quarno " QUARNO_VERSION, m.grid.M,
                                                     flow.level);
}

void record_flow_step(const Model& m, FlowRecordWriter& writer) {
  writer.step(m.clock.dt, m.flow.hl(1), m.flow.qr(m.grid.M), m.flow.y);
}

void replay_step_length(Model& m, Outputs& out, FlowRecording& flow) {
  FlowRecordReader& r = *flow.replay_from;
  FlowEvent event{};
  for (;;) {
    const FlowRecordReader::Entry entry = r.next(event, flow.step);
    if (entry == FlowRecordReader::Entry::step) break;
    if (entry == FlowRecordReader::Entry::end)
      throw InputError(r.path() + ": the flow record ends at t = " + show_number(m.clock.t) +
                       " s, before this run does");
    show_flow_event(out, event, flow.writer.get());
  }
  const double dt = flow.step[0];
  if (!(dt > 0.0 && dt < 1e30))
    throw InputError(r.path() + ": the flow record does not follow this run (at t = " +
                     show_number(m.clock.t) + " s it steps " + show_number(dt) + " s)");
  m.clock.dt = dt;
}

void replay_flow_step(Model& m, FlowRecording& flow) {
  const double* v = flow.step;
  Flow& f = m.flow;
  const int n = m.grid.n;
  for (int i = 1; i <= n; ++i) f.y(i) = v[2 + i];
  f.hl(1) = v[1];
  f.qr(m.grid.M) = v[2];
  if (flow.writer) record_flow_step(m, *flow.writer);
}

}  // namespace quarno
