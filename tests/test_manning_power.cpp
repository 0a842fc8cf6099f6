// The vector Manning power: on every path this processor offers, the same
// bits as the platform's pow over more than ten million arguments (the
// model's radii, values near 1, powers of two, the tables' boundaries,
// denormal and extreme inputs, with denormal results flushed to zero as the
// program runs), and the golden decks byte-identical on every forced path.
//
// QUARNO_POW_ARGUMENTS=N scales the random families to N arguments in all
// (for a check by hand over a billion).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "RunDeck.hpp"
#include "solver/ManningPower.hpp"

namespace quarno::test {
namespace {

double from_bits(std::uint64_t u) {
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}
std::uint64_t bits_of(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

std::vector<PowPath> available_paths() {
  std::vector<PowPath> paths;
  for (PowPath p : {PowPath::scalar, PowPath::avx2, PowPath::avx512, PowPath::avx512_gather})
    if (pow_path_available(p)) paths.push_back(p);
  return paths;
}

// The arguments of the fixed families: around every power of two, around
// every table boundary of the binades near 1, near 1 itself, the edges of
// the kernel's range and every special value.
std::vector<double> edge_arguments() {
  std::vector<double> x;
  for (int e = -1074; e <= 1023; ++e)
    for (int i = -8; i <= 8; ++i) x.push_back(from_bits(bits_of(std::ldexp(1.0, e)) + i));
  for (int e = -12; e <= 12; ++e)
    for (int j = 0; j < 256; ++j)
      for (int i = -4; i <= 4; ++i)
        x.push_back(from_bits(bits_of(std::ldexp(1.0 + j / 256.0, e)) + i));
  for (int i = -200000; i <= 200000; ++i) x.push_back(from_bits(bits_of(1.0) + i));
  for (int e : {-501, -500, 499, 500, 501})
    for (int i = -4; i <= 4; ++i) x.push_back(from_bits(bits_of(std::ldexp(1.0, e)) + i));
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {0.0, -0.0, inf, -inf, std::numeric_limits<double>::quiet_NaN(), -1.0, -0.5,
                   std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                   std::numeric_limits<double>::max(), 1e-300, 1e300})
    x.push_back(v);
  return x;
}

// Random families, each drawing `count` arguments: the model's radii
// (log-uniform over 1 mm to 100 m), log-uniform over every positive
// double, and uniform bit patterns.
using Draw = std::function<double(std::mt19937_64&)>;
const struct Family {
  const char* name;
  Draw draw;
} kFamilies[] = {
    {"radii 1 mm to 100 m",
     [](std::mt19937_64& g) { return std::exp(std::uniform_real_distribution<>(-6.91, 4.61)(g)); }},
    {"log-uniform over all positive doubles",
     [](std::mt19937_64& g) { return std::exp2(std::uniform_real_distribution<>(-1074, 1024)(g)); }},
    {"uniform bit patterns", [](std::mt19937_64& g) { return from_bits(g()); }},
};

// Compares the path's powers of x with std::pow's, bit for bit; counts the
// values the kernel passed to std::pow.
void check_bits(PowPath path, const std::vector<double>& x, long& mismatches, long& calls,
                std::string& first) {
  std::vector<double> got = x;
  calls += manning_powers_on(path, got.data(), static_cast<int>(got.size()));
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double want = std::pow(x[i], kManningExp);
    if (bits_of(got[i]) == bits_of(want)) continue;
    if (mismatches++ == 0) {
      char text[160];
      std::snprintf(text, sizeof text, "x = %a: %a, std::pow %a", x[i], got[i], want);
      first = text;
    }
  }
}

TEST(ManningPower, EveryPathGivesThePlatformPowBitForBit) {
#if defined(__SSE__) || defined(__x86_64__)
  const unsigned int mxcsr = _mm_getcsr();
  _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);  // as the program runs
#endif
  const char* scale = std::getenv("QUARNO_POW_ARGUMENTS");
  const long random_total = scale != nullptr ? std::atol(scale) : 10000000;
  const std::vector<double> edges = edge_arguments();
  ASSERT_GT(edges.size(), 490000u);
  for (PowPath path : available_paths()) {
    SCOPED_TRACE(pow_path_name(path));
    long mismatches = 0, calls = 0, total = 0;
    std::string first;
    check_bits(path, edges, mismatches, calls, first);
    total += static_cast<long>(edges.size());
    std::mt19937_64 rng(20261209);
    std::vector<double> x(1 << 16);
    const long per_family = random_total / 3;
    for (const Family& f : kFamilies) {
      long family_calls = 0, family_total = 0;
      for (long done = 0; done < per_family; done += static_cast<long>(x.size())) {
        for (double& v : x) v = f.draw(rng);
        check_bits(path, x, mismatches, family_calls, first);
        family_total += static_cast<long>(x.size());
      }
      std::printf("[ %s ] %s: %ld arguments, %.2f%% to std::pow\n", pow_path_name(path), f.name,
                  family_total, 100.0 * family_calls / family_total);
      // On the model's radii the kernel keeps some 95% of its results.
      if (path != PowPath::scalar && f.name == kFamilies[0].name) {
        EXPECT_LT(family_calls, family_total / 10) << "the kernel keeps too few of its results";
      }
      calls += family_calls;
      total += family_total;
    }
    EXPECT_EQ(mismatches, 0) << first;
    std::printf("[ %s ] %ld arguments in all, %ld mismatches\n", pow_path_name(path), total,
                mismatches);
  }
#if defined(__SSE__) || defined(__x86_64__)
  _mm_setcsr(mxcsr);
#endif
}

TEST(ManningPower, GoldenDecksAreByteIdenticalOnEveryForcedPath) {
  // The best path runs every golden deck in the reference test already.
  std::vector<std::string> decks;
  for (const auto& e : std::filesystem::directory_iterator(QUARNO_TEST_DATA "/golden"))
    decks.push_back(e.path().string());
  ASSERT_EQ(decks.size(), 16u);
  for (PowPath path : available_paths()) {
    if (path == best_pow_path()) continue;
    for (const std::string& dir : decks) {
      SCOPED_TRACE(std::string(pow_path_name(path)) + " " + dir);
      const RunResult r =
          run_deck(read_file(dir + "/crparam.txt").c_str(), read_file(dir + "/crbicond.txt").c_str(),
                   {}, 0, std::string("--pow-path ") + pow_path_name(path));
      ASSERT_EQ(r.status, 0) << r.errors;
      EXPECT_TRUE(r.results == read_file(dir + "/crOutput.txt"));
      EXPECT_TRUE(r.obs == read_file(dir + "/crObsNode.txt"));
      EXPECT_TRUE(r.console + "exit 0\n" == read_file(dir + "/console.txt"));
    }
  }
  const RunResult bad = run_deck("", "", {}, 0, "--pow-path sse9");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.errors.find("--pow-path must be scalar, avx2, avx512 or avx512-gather (found \"sse9\")"),
            std::string::npos) << bad.errors;
}

}  // namespace
}  // namespace quarno::test
