#include "run/KernelViews.hpp"

namespace quarno {

RhsView rhs_view(Model& m) {
  const Grid& gr = m.grid;
  const Boundary& bc = m.bnd;
  Flow& f = m.flow;
  return RhsView{
      RhsChannel{gr.dx, gr.Xc, gr.Xl, gr.Xr, gr.B, gr.dBdx, gr.S, gr.RoughC, m.nodes.GWUpwN},
      RhsEnds{bc.NB0, bc.NBL, bc.q0, bc.h0, bc.hU, bc.Fr0},
      RhsResults{f.h, f.q, f.u, f.hl, f.hr, f.ql, f.qr, f.ul, f.ur, f.ap, f.am, f.Fh, f.Fq, f.Sh,
                 f.Sq, m.rhs},
      m.team, m.settings.avx2};
}

RkWork rk_work(StepScratch& s) {
  return RkWork{s.y0, s.k1, s.yt, s.k2, s.k3, s.k4, s.k5, s.k6, s.err};
}

}  // namespace quarno
