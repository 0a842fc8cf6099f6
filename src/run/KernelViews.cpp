#include "run/KernelViews.hpp"

namespace quarno {

namespace {

// The decay rates the transport and the balances take: those the weather
// sets at every step when it is on, the deck's otherwise.
const Array<double>& decay_in_water(const Model& m) {
  return m.weather.on ? m.weather.KwN : m.nodes.KdwN;
}
const Array<double>& decay_in_bed(const Model& m) {
  return m.weather.on ? m.weather.KbN : m.nodes.KdsN;
}

}  // namespace

RhsView rhs_view(Model& m) {
  const Grid& gr = m.grid;
  const Boundary& bc = m.bnd;
  Flow& f = m.flow;
  return RhsView{
      RhsChannel{gr.dx, gr.Xc, gr.Xl, gr.Xr, gr.B, gr.dBdx, gr.S, gr.RoughC,
                 m.src.on ? m.src.lateral : m.nodes.GWUpwN},
      RhsEnds{bc.NB0, bc.NBL, bc.q0, bc.h0, bc.hU, bc.Fr0},
      RhsResults{f.h, f.q, f.u, f.hl, f.hr, f.ql, f.qr, f.ul, f.ur, f.ap, f.am, f.Fh, f.Fq, f.Sh,
                 f.Sq, m.rhs},
      m.team, m.settings.avx2, m.settings.pow_path};
}

RkWork rk_work(StepScratch& s, Team* team) {
  return RkWork{s.y0, s.k1, s.yt, s.k2, s.k3, s.k4, s.k5, s.k6, s.err, team};
}

ControllerWork controller_work(StepScratch& s, Team* team) {
  return ControllerWork{s.ywork, s.dydx, s.yscale, rk_work(s, team)};
}

TransportView transport_view(Model& m) {
  const Grid& gr = m.grid;
  NodeFields& nf = m.nodes;
  Transport& t = m.tr;
  const Flow& f = m.flow;
  return TransportView{
      TransportReach{m.run.Nfdn, gr.X, gr.dXN, gr.VN, nf.WidthN, gr.B},
      TransportParams{nf.aLN, nf.ReN, nf.TauCRN, nf.fN, nf.VsN, nf.AlfaN, decay_in_water(m),
                      decay_in_bed(m), nf.HbN, nf.RbN, nf.GWUpwN, nf.CGWN},
      TransportFlow{f.h, f.u, f.Q, t.un, t.An, t.An_old},
      TransportState{nf.CN, t.CsN, nf.CbN, t.TResC, t.TDepC},
      TransportWork{t.E, t.P, t.alb, t.beb, t.als, t.bes, t.DA, t.Cf},
      TridiagonalRows{t.Dw, t.Dg, t.De, t.R, t.a, t.b, t.r, t.C},
      TransportFluxes{t.tau, t.resus, t.settle, t.exchange},
      TransportSources{m.src.on, m.src.loadN, m.src.outN}};
}

NodeHydraulicsView node_hydraulics_view(Model& m) {
  const Flow& f = m.flow;
  Transport& t = m.tr;
  return NodeHydraulicsView{m.run.Nfdn, m.grid.M, f.hl, f.h, f.u, m.bnd.qX0, m.nodes.WidthN,
                            t.hn, t.un, t.An};
}

BalanceView balance_view(const Model& m) {
  const Grid& gr = m.grid;
  const NodeFields& nf = m.nodes;
  const Flow& f = m.flow;
  const Transport& t = m.tr;
  return BalanceView{gr.M, m.run.Nfdn, m.run.NTr, gr.dx,
                     gr.B, f.h, f.u, f.A,
                     nf.WidthN, nf.GWUpwN, nf.CGWN, nf.fN, decay_in_water(m), decay_in_bed(m),
                     nf.HbN, nf.RbN,
                     nf.CN, t.CsN, nf.CbN, t.TResC, t.TDepC,
                     m.bnd.qX0, m.bnd.qXL, m.clock.dt, m.bic.QBC, m.clock.interval,
                     m.src.on, gr.VN, m.src.qSrc, m.src.loadN, m.src.outN};
}

SiteView site_view(const Model& m) {
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const NodeFields& nf = m.nodes;
  const Transport& t = m.tr;
  return SiteView{m.bic.Nobs, gr.M, m.run.Nfdn, m.run.NTr, gr.dx,
                  gr.kObsC, gr.kObsN, gr.dObsC, gr.dObsN,
                  gr.B, f.h, f.u, f.q, f.Q, nf.WidthN, m.bnd.qX0, m.bnd.qXL,
                  nf.CN, nf.CbN, t.CsN, t.tau, t.resus, t.settle, t.exchange};
}

SiteSourceView site_source_view(const Model& m) {
  const Grid& gr = m.grid;
  const SourceFields& s = m.src;
  return SiteSourceView{m.bic.Nobs, gr.M,    m.run.Nfdn, gr.dx,  m.bic.XObs,   gr.Xc,
                        gr.X,       gr.VN,   s.qSrc,     s.loadN, s.outN, m.nodes.CN};
}

SiteWeatherView site_weather_view(const Model& m) {
  const Grid& gr = m.grid;
  const WeatherFields& w = m.weather;
  return SiteWeatherView{m.bic.Nobs, gr.dx, gr.kObsN, gr.dObsN, w.T, w.I0, w.KwN, w.KbN};
}

}  // namespace quarno
