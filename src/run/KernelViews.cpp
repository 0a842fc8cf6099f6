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
      m.team, m.settings.avx2, m.settings.pow_path};
}

RkWork rk_work(StepScratch& s) {
  return RkWork{s.y0, s.k1, s.yt, s.k2, s.k3, s.k4, s.k5, s.k6, s.err};
}

ControllerWork controller_work(StepScratch& s) {
  return ControllerWork{s.ywork, s.dydx, s.yscale, rk_work(s)};
}

TransportView transport_view(Model& m) {
  const Grid& gr = m.grid;
  NodeFields& nf = m.nodes;
  Transport& t = m.tr;
  const Flow& f = m.flow;
  return TransportView{
      TransportReach{m.run.Nfdn, gr.X, gr.dXN, gr.VN, nf.WidthN, gr.B},
      TransportParams{nf.aLN, nf.ReN, nf.TauCRN, nf.fN, nf.VsN, nf.AlfaN, nf.KdwN, nf.KdsN,
                      nf.HbN, nf.RbN, nf.GWUpwN, nf.CGWN},
      TransportFlow{f.h, f.u, f.Q, t.un, t.An, t.An_old},
      TransportState{nf.CN, t.CsN, nf.CbN, t.TResC, t.TDepC},
      TransportWork{t.E, t.P, t.alb, t.beb, t.als, t.bes, t.DA, t.Cf},
      TridiagonalRows{t.Dw, t.Dg, t.De, t.R, t.a, t.b, t.r, t.C},
      TransportFluxes{t.tau, t.resus, t.settle, t.exchange}};
}

}  // namespace quarno
