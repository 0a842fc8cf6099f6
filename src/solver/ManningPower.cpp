#include "solver/ManningPower.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

// The vector kernel of x^c, c = kManningExp, and why it gives the platform
// pow's bits.
//
// x = 2^k z, z in [1, 2) from the bits of x, and j the top 8 bits of z's
// fraction. With inv = inv[j] (an 8-bit fraction near 1/z), z = (1 + r)/inv
// and
//     x^c = 2^n * E_k * T_j * (1 + r)^c,    n = floor(c k), E_k = 2^(c k - n),
//                                           T_j = (1/inv)^c,
// an identity. r = fma(z, inv, -1) is exact: z inv - 1 is a whole multiple
// of 2^-60 (z has 52 fraction bits, inv 8) and |r| < 2^-7 (checked by the
// table script over every z), so it has at most 53 significant bits. E_k and
// T_j are tabulated as double-doubles (relative error 2^-106 each), and
// (1 + r)^c = 1 + c r + r^2 (b_2 + b_3 r + ... + b_9 r^7), b_n = binom(c, n),
// with c r exact as a double-double and the rest in double: the tail after
// r^9 is below 1e-26, the rounding of the Horner sum, its coefficients and
// r^2 below 1.1e-20 in all. The two double-double products add below 6e-21
// and 4e-20 (their low parts are up to 2e-5 and 7e-5 of the high ones). So
// the double-double result hi + lo, hi = round(hi + lo), lies within
// eps = 2^-62 of x^c relative (the terms add to 6e-20 = 2^-63.9; the bound
// leaves a factor 4), that is within 2^-9 ulp(hi) absolute.
//
// The decision rule: a lane keeps hi only when |lo| < 0.477 ulp(hi), hi is
// not a power of two and k lies in the tables' range (which keeps every
// value normal and every scaling exact). Then the exact x^c lies within
// 0.477 + 2^-9 < 0.479 ulp of hi, so every other double is more than 0.521
// ulp from it. The platform's pow returns a double within 0.52 ulp of x^c
// (glibc's documented worst case for pow in round-to-nearest; the one
// assumption of this argument): it can only be hi. Every other lane (about
// 5% of them) calls std::pow. Flushing denormal results to zero changes
// nothing: every value the kernel keeps, and every intermediate, is normal.

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define QUARNO_POW_VECTORS 1
#endif

namespace quarno {

namespace {

#include "solver/ManningPowerTables.inc"

constexpr double kKeep = 0.477;  // the largest |lo| kept, in ulp(hi)
constexpr int kChunk = 64;       // values the kernel takes at a time

inline std::uint64_t bits_of(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}
inline double from_bits(std::uint64_t u) {
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

// The kernel's power of x into y, and in keep whether it is the platform's
// (1) or must be asked of std::pow (0). No branches: the loop over lanes
// runs as vectors.
[[gnu::always_inline]] inline void power_lane(double x, double& y, std::uint64_t& keep) {
  constexpr std::uint64_t kFraction = 0x000fffffffffffffULL;
  const std::uint64_t ix = bits_of(x);
  const std::int64_t k = static_cast<std::int64_t>(ix >> 52) - 1023;  // sign bit gives k > 1024
  const bool in_range = k >= kPowKMin && k <= kPowKMax;  // positive, normal, tabulated
  // Out of range, row 0: any row will do, the lane is not kept.
  const std::int64_t row = (k - kPowKMin) & -static_cast<std::int64_t>(in_range);
  const std::uint64_t j = (ix >> (52 - kPowTableBits)) & ((1u << kPowTableBits) - 1);
  const double z = from_bits((ix & kFraction) | 0x3ff0000000000000ULL);
  const double r = std::fma(z, kPowInv[j], -1.0);  // exact

  // (1 + r)^c = s_hi + s_lo.
  const double cr = kManningExp * r;
  const double cr_lo = std::fma(kManningExp, r, -cr);
  double q = kPowBinom[7];
  for (int t = 6; t >= 0; --t) q = q * r + kPowBinom[t];
  const double r2 = r * r;
  const double s_hi = 1.0 + cr;
  const double s_err = (1.0 - s_hi) + cr;  // exact: |cr| < 1
  const double s_lo = s_err + (cr_lo + r2 * q);

  // T_j (1 + r)^c, then times E_k, as double-doubles.
  const double th = kPowTHi[j], tl = kPowTLo[j];
  const double p_hi = th * s_hi;
  const double p_lo = std::fma(th, s_hi, -p_hi) + (th * s_lo + tl * s_hi);
  const double eh = kPowEHi[row], el = kPowELo[row];
  const double u_hi = p_hi * eh;
  const double u_lo = std::fma(p_hi, eh, -u_hi) + (p_hi * el + p_lo * eh);
  const double hi = u_hi + u_lo;
  const double lo = u_lo - (hi - u_hi);  // exact: |u_hi| >= |u_lo|

  // hi lies in [1, 8): its ulp is 2^(exponent - 52).
  const std::uint64_t ih = bits_of(hi);
  const double ulp = from_bits((ih & ~kFraction) - (52ULL << 52));
  const bool sure = std::fabs(lo) < kKeep * ulp && (ih & kFraction) != 0;
  keep = static_cast<std::uint64_t>(in_range & sure);
  y = hi * from_bits(static_cast<std::uint64_t>(kPowEN[row] + 1023) << 52);  // exact
}

[[gnu::always_inline]] inline void kernel_chunk(const double* __restrict x, double* __restrict y,
                                                std::uint64_t* __restrict keep, int n) {
  for (int i = 0; i < n; ++i) power_lane(x[i], y[i], keep[i]);
}

#ifdef QUARNO_POW_VECTORS
__attribute__((target("avx2,fma"))) void kernel_avx2(const double* x, double* y,
                                                      std::uint64_t* keep, int n) {
  kernel_chunk(x, y, keep, n);
}
__attribute__((target("avx512f,avx512dq,avx512vl,fma"))) void kernel_avx512(
    const double* x, double* y, std::uint64_t* keep, int n) {
  kernel_chunk(x, y, keep, n);
}
#endif

// The powers of x[0..n) by std::pow, a value equal to the one before taking
// its power again.
int scalar_powers(double* x, int n) {
  std::uint64_t last_bits = 0;
  double last_power = 0.0;
  bool have_last = false;
  int calls = 0;
  for (int i = 0; i < n; ++i) {
    const std::uint64_t b = bits_of(x[i]);
    if (!have_last || b != last_bits) {
      last_bits = b;
      last_power = std::pow(x[i], kManningExp);
      have_last = true;
      ++calls;
    }
    x[i] = last_power;
  }
  return calls;
}

}  // namespace

bool pow_path_available(PowPath path) {
#ifdef QUARNO_POW_VECTORS
  __builtin_cpu_init();
  switch (path) {
    case PowPath::scalar: return true;
    case PowPath::avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case PowPath::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
  }
  return false;
#else
  return path == PowPath::scalar;
#endif
}

PowPath best_pow_path() {
  if (pow_path_available(PowPath::avx512)) return PowPath::avx512;
  if (pow_path_available(PowPath::avx2)) return PowPath::avx2;
  return PowPath::scalar;
}

const char* pow_path_name(PowPath path) {
  switch (path) {
    case PowPath::scalar: return "scalar";
    case PowPath::avx2: return "avx2";
    case PowPath::avx512: return "avx512";
  }
  return "scalar";
}

bool parse_pow_path(const char* name, PowPath& path) {
  for (PowPath p : {PowPath::scalar, PowPath::avx2, PowPath::avx512}) {
    if (std::strcmp(name, pow_path_name(p)) == 0) {
      path = p;
      return true;
    }
  }
  return false;
}

int manning_powers_on(PowPath path, double* x, int n) {
#ifdef QUARNO_POW_VECTORS
  static const PowPath best = best_pow_path();
  if (static_cast<int>(path) > static_cast<int>(best)) path = best;
  if (path == PowPath::scalar) return scalar_powers(x, n);
  double y[kChunk];
  std::uint64_t keep[kChunk];
  std::uint64_t last_bits = 0;
  double last_power = 0.0;
  bool have_last = false;
  int calls = 0;
  for (int i0 = 0; i0 < n; i0 += kChunk) {
    const int m = n - i0 < kChunk ? n - i0 : kChunk;
    if (path == PowPath::avx512)
      kernel_avx512(x + i0, y, keep, m);
    else
      kernel_avx2(x + i0, y, keep, m);
    for (int i = 0; i < m; ++i) {
      if (keep[i]) {
        x[i0 + i] = y[i];
        continue;
      }
      const std::uint64_t b = bits_of(x[i0 + i]);
      if (!have_last || b != last_bits) {
        last_bits = b;
        last_power = std::pow(x[i0 + i], kManningExp);
        have_last = true;
        ++calls;
      }
      x[i0 + i] = last_power;
    }
  }
  return calls;
#else
  (void)path;
  return scalar_powers(x, n);
#endif
}

}  // namespace quarno
