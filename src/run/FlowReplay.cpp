#include "run/FlowReplay.hpp"

#include "input/StateText.hpp"

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
  // The sources' places, times and discharges, only when there are any (the
  // keys of runs without sources stay as they were). Their concentrations,
  // loads and strengths move no water, so a record replays under any of them.
  const SourceFields& src = m.src;
  if (src.on) {
    h.add(src.count);
    for (int j = 1; j <= src.count; ++j) {
      const SourceSeries& s = m.forcing.sources[static_cast<std::size_t>(j - 1)];
      h.add(src.first(j + 1) - src.first(j));
      for (int e = src.first(j); e < src.first(j + 1); ++e) {
        h.add(src.cell(e));
        h.add(src.share(e));
      }
      h.add(static_cast<int>(s.t.size()));
      for (std::size_t r = 0; r < s.t.size(); ++r) {
        h.add(s.t[r]);
        h.add(s.Q[r]);
      }
    }
  }
  return h.hex();
}

FlowRecorder::FlowRecorder(const Model& m, const std::string& path, int level)
    : writer_(path, flow_record_key(m), "quarno " QUARNO_VERSION, m.grid.M, level) {}

}  // namespace quarno
