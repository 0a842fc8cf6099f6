#include "run/Sources.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "model/Errors.hpp"
#include "model/ShowNumber.hpp"
#include "run/OuterStep.hpp"

namespace quarno {

namespace {

// The cells a source enters and the fraction of its discharge each takes,
// appended to `cells` and `shares`.
void cells_of(const Grid& gr, const SourceSeries& s, std::vector<int>& cells,
              std::vector<double>& shares) {
  const int M = gr.M;
  if (!s.distributed) {
    int i = 1;
    while (i < M && !(s.x < gr.Xr(i))) ++i;
    cells.push_back(i);
    shares.push_back(1.0);
    return;
  }
  // The length of each cell the stretch covers; the last cell reaches to the
  // stretch's end, should the accumulated node positions fall short of L.
  std::vector<double> covered;
  std::vector<int> found;
  double total = 0.0;
  for (int i = 1; i <= M; ++i) {
    const double right = i == M ? std::max(gr.Xr(i), s.x_to) : gr.Xr(i);
    const double length = std::min(s.x_to, right) - std::max(s.x, gr.Xl(i));
    if (length > 0.0) {
      found.push_back(i);
      covered.push_back(length);
      total += length;
    }
  }
  for (std::size_t j = 0; j < found.size(); ++j) {
    cells.push_back(found[j]);
    shares.push_back(covered[j] / total);
  }
}

// Adds a cell's value per unit length to the nodes that bound it, as their
// control lengths cover it: half the cell each, the whole of an end node's.
inline void share_to_nodes(Array<double>& node, int i, int N, double value) {
  node(i) += i == 1 ? value : value * 0.5;
  node(i + 1) += i + 1 == N ? value : value * 0.5;
}

// For every cell, the fraction of the abstractions' demand that its water
// above the floor depth meets over the Courant step from the present state;
// a source whose demand a cell cannot meet is named once.
void limit_abstractions(Model& m, Outputs& out) {
  SourceFields& s = m.src;
  const Grid& gr = m.grid;
  const Flow& f = m.flow;
  const double dx = gr.dx;
  Array<double>& demand = s.qSrc;  // the abstractions' demand, per unit length
  demand.fill(0.0);
  for (int j = 1; j <= s.count; ++j) {
    if (!(s.Qnow(j) < 0.0)) continue;
    for (int e = s.first(j); e < s.first(j + 1); ++e)
      demand(s.cell(e)) -= s.Qnow(j) * s.share(e) / dx;
  }
  const double dt = courant_length(m);
  for (int i = 1; i <= gr.M; ++i) {
    s.met(i) = 1.0;
    if (!(demand(i) > 0.0)) continue;
    const double held = std::max(0.0, f.h(i) - kDryDepth) * gr.B(i) / dt;
    if (demand(i) > held) s.met(i) = held / demand(i);
  }
  for (int j = 1; j <= s.count; ++j) {
    if (!(s.Qnow(j) < 0.0) || s.warned(j) != 0) continue;
    for (int e = s.first(j); e < s.first(j + 1); ++e) {
      if (s.met(s.cell(e)) < 1.0) {
        s.warned(j) = 1;
        out.warnings.write_line("warning: the abstraction \"" + m.forcing.sources[j - 1].name +
                                "\" takes more water than the stream holds at t = " +
                                show_number(m.clock.t) + " s (cell " +
                                std::to_string(s.cell(e)) + " is dry)");
        break;
      }
    }
  }
}

}  // namespace

double series_value(const std::vector<double>& times, const std::vector<double>& values,
                    double t) {
  if (!(t > times.front())) return values.front();
  if (!(t < times.back())) return values.back();
  const std::size_t j =
      static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) -
      1;  // times[j] <= t < times[j + 1]
  return values[j] + (values[j + 1] - values[j]) * ((t - times[j]) / (times[j + 1] - times[j]));
}

void locate_sources(Model& m) {
  const std::vector<SourceSeries>& sources = m.forcing.sources;
  if (sources.empty()) return;
  SourceFields& s = m.src;
  const int N = m.run.Nfdn;
  const int count = static_cast<int>(sources.size());
  std::vector<int> cells;
  std::vector<double> shares;
  s.first.resize(1, count + 1);
  for (int j = 1; j <= count; ++j) {
    s.first(j) = static_cast<int>(cells.size()) + 1;
    cells_of(m.grid, sources[static_cast<std::size_t>(j - 1)], cells, shares);
  }
  s.first(count + 1) = static_cast<int>(cells.size()) + 1;
  const int entries = static_cast<int>(cells.size());
  s.cell.resize(1, entries);
  s.share.resize(1, entries);
  for (int e = 1; e <= entries; ++e) {
    s.cell(e) = cells[static_cast<std::size_t>(e - 1)];
    s.share(e) = shares[static_cast<std::size_t>(e - 1)];
  }
  for (Array<double>* a : {&s.lateral, &s.qSrc, &s.loadN, &s.outN, &s.met}) a->resize(1, N);
  for (int i = 1; i <= N; ++i) s.lateral(i) = m.nodes.GWUpwN(i);
  s.Qnow.resize(1, count);
  s.Cnow.resize(1, count);
  s.warned.resize(1, count);
  if (m.bic.Nobs > 0) m.observed.src.resize(1, 2 * m.bic.Nobs);
  s.count = count;
  s.on = true;
  m.bal.sources = true;
}

void set_sources(Model& m, Outputs& out, bool limit_abstractions_to_stream) {
  SourceFields& s = m.src;
  if (!s.on) return;
  const double t = m.clock.t;
  const int N = m.run.Nfdn;
  const double dx = m.grid.dx;
  for (int j = 1; j <= s.count; ++j) {
    const SourceSeries& src = m.forcing.sources[static_cast<std::size_t>(j - 1)];
    s.Qnow(j) = series_value(src.t, src.Q, t);
    s.Cnow(j) = series_value(src.t, src.C, t) * src.strength;
  }
  if (limit_abstractions_to_stream)
    limit_abstractions(m, out);
  else
    s.met.fill(1.0);

  s.qSrc.fill(0.0);
  s.loadN.fill(0.0);
  s.outN.fill(0.0);
  for (int j = 1; j <= s.count; ++j) {
    const bool load = m.forcing.sources[static_cast<std::size_t>(j - 1)].load;
    const double Q = s.Qnow(j);
    double taken = 0.0;  // what an abstraction takes where its cells run dry
    bool limited = false;
    for (int e = s.first(j); e < s.first(j + 1); ++e) {
      const int i = s.cell(e);
      double q = Q * s.share(e) / dx;  // per unit length (m2/s)
      if (Q < 0.0) {
        limited = limited || s.met(i) < 1.0;
        q *= s.met(i);
        taken += q * dx;
        share_to_nodes(s.outN, i, N, -q);
      } else if (!load) {
        share_to_nodes(s.loadN, i, N, q * s.Cnow(j));
      }
      if (load) share_to_nodes(s.loadN, i, N, s.Cnow(j) * s.share(e) / dx);
      s.qSrc(i) += q;
    }
    if (limited) s.Qnow(j) = taken;
  }
  for (int i = 1; i <= N; ++i) s.lateral(i) = m.nodes.GWUpwN(i) + s.qSrc(i);
}

void check_steady_sources(const Model& m) {
  for (const SourceSeries& src : m.forcing.sources) {
    for (double Q : src.Q)
      if (Q != src.Q.front())
        throw InputError("--steady-flow needs sources of constant discharge: the discharge of "
                         "the source \"" + src.name + "\" (" + m.forcing.path + ", line " +
                         std::to_string(src.line) + ") changes in time, and a frozen flow "
                         "cannot follow it");
  }
}

}  // namespace quarno
