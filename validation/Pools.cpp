// Still water between walls: a level pool stays exactly at rest.
#include "Cases.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace quarno::test {

// 1. A level pool between walls on a flat bed stays exactly at rest.

std::vector<Outcome> still_pool_case() {
  const std::string name = "1 still pool";
  Reach r;
  r.schedule = {{3600.0, 1.0, 0.0, 0.0}};
  r.tout = {1800.0, 3600.0};
  std::string why;
  const RunResult out = run(r, why);
  if (!why.empty()) return {failure(name, why)};
  const std::vector<Profile> blocks = read_profiles(out.results, r.Nfdn - 1);
  if (blocks.size() != 2) return {failure(name, "expected two profile blocks")};
  double worst = 0;
  for (const Profile& p : blocks)
    for (std::size_t i = 0; i < p.h.size(); ++i)
      worst = worse(worse(worst, std::fabs(p.h[i] - 1.0)),
                    worse(std::fabs(p.u[i]), worse(std::fabs(p.q[i]), std::fabs(p.Q[i]))));
  const Balances b = read_balances(out.results);
  if (b.water_ER_R.size() != 2 || b.water_ER_A.size() != 2)
    return {failure(name, "expected two water balances")};
  double er = 0;
  for (int k = 0; k < 2; ++k)
    er = worse(er, worse(std::fabs(b.water_ER_A[k]), std::fabs(b.water_ER_R[k])));
  return {at_most(name, "max |h-1|,|u|,|q|,|Q| printed", worst, 0.0),
          at_most(name, "max |ER_A|,|ER_R| printed", er, 0.0)};
}

// ---------------------------------------------------------------------------
// 8. A level pool in a channel widening from 5 m to 15 m stays at rest.

std::vector<Outcome> widening_pool_case() {
  const std::string name = "8 level pool, widening";
  Reach r;
  r.width0 = 5.0;
  r.width1 = 15.0;
  r.schedule = {{3600.0, 1.0, 0.0, 0.0}};
  r.tout = {3600.0};
  std::string why;
  const RunResult res = run(r, why);
  Profile p;
  if (!why.empty() || !one_profile(res, r.Nfdn - 1, p, why)) return {failure(name, why)};
  double worst = 0;
  for (std::size_t i = 0; i < p.h.size(); ++i)
    worst = worse(worse(worst, std::fabs(p.h[i] - 1.0)), worse(std::fabs(p.u[i]), std::fabs(p.q[i])));
  return {at_most(name, "max |h-1|,|u|,|q| printed", worst, 0.0)};
}

}  // namespace quarno::test
