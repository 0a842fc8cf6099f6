// Validation of the model against analytic and semi-analytic solutions.
//
// Every case writes an input deck, runs the real program on it, reads the
// profile blocks, balance reports and observation rows it printed, and
// compares them with a solution worked out from the published formulas.
// One table row per comparison: the norm, its value, the tolerance and the
// verdict. The exit status is 1 when any comparison fails.
//
//   quarno_validate           every case
//   quarno_validate --fast    only the cheap cases (run under ctest)
#include "Harness.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "Cases.hpp"

namespace quarno::test {

std::string fmt(const char* f, double a, double b, double c, double d) {
  char buf[256];
  std::snprintf(buf, sizeof buf, f, a, b, c, d);
  return buf;
}

Outcome at_most(const std::string& name, const std::string& norm, double value, double tol) {
  Outcome o;
  o.name = name;
  o.norm = norm;
  o.value = value;
  o.tol = tol;
  o.pass = std::isfinite(value) && value <= tol;
  return o;
}

Outcome at_least(const std::string& name, const std::string& norm, double value, double bound) {
  Outcome o = at_most(name, norm, value, bound);
  o.pass = std::isfinite(value) && value >= bound;
  return o;
}

Outcome failure(const std::string& name, const std::string& why) {
  Outcome o;
  o.name = name;
  o.norm = "run";
  o.notes.push_back(why);
  return o;
}

RunResult run(const Reach& r, std::string& why) {
  RunResult out = run_deck(param_text(r), bicond_text(r));
  why = out.status == 0 ? std::string()
                        : "exit status " + std::to_string(out.status) + ": " + out.errors;
  return out;
}

bool one_profile(const RunResult& out, int cells, Profile& p, std::string& why) {
  const std::vector<Profile> blocks = read_profiles(out.results, cells);
  if (blocks.size() != 1) {
    why = "expected one readable profile block, found " + std::to_string(blocks.size());
    return false;
  }
  p = blocks[0];
  return true;
}

}  // namespace quarno::test

int main(int argc, char** argv) {
  using namespace quarno::test;
  bool fast = false;
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], "--fast") == 0) {
      fast = true;
    } else {
      std::fprintf(stderr, "usage: quarno_validate [--fast]\n");
      return 2;
    }
  }
  struct Case {
    bool fast;
    std::function<std::vector<Outcome>()> run;
  };
  const std::vector<Case> cases = {
      {true, still_pool_case},       {true, normal_depth_case},   {false, backwater_case},
      {false, stoker_case},          {false, ritter_case},        {false, ogata_banks_case},
      {false, decay_case},           {false, storage_case},       {true, widening_pool_case},
      {true, water_balance_case},    {true, decay_balance_case},  {true, groundwater_balance_case},
      {false, front_balance_case},
      {false, mixed_jump_case},
      {false, distributed_inflow_case},
      {false, abstraction_case},
      {false, jump_convergence_case},
      {false, temperature_decay_case},
      {false, light_decay_case},
      {false, diurnal_light_case},
  };
  std::printf("%-31s %-44s %11s %11s  %s\n", "case", "norm", "value", "tolerance", "result");
  bool all = true;
  const auto begin = std::chrono::steady_clock::now();
  for (const Case& c : cases) {
    if (fast && !c.fast) continue;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Outcome> rows = c.run();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const Outcome& o : rows) {
      all = all && o.pass;
      std::printf("%-31s %-44s %11.3e %11.3e  %s\n", o.name.c_str(), o.norm.c_str(), o.value,
                  o.tol, o.pass ? "PASS" : "FAIL");
      for (const std::string& n : o.notes) std::printf("%-31s   %s\n", "", n.c_str());
    }
    std::printf("%-31s   (%.2f s)\n", "", secs);
    std::fflush(stdout);
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::printf("\n%s (%.1f s)\n", all ? "all cases PASS" : "some cases FAIL", total);
  return all ? 0 : 1;
}
