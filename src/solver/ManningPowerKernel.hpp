// The vector kernel of the Manning power, shared by the translation units
// that build it for different instruction sets and table loads.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#endif

#include "solver/ManningPower.hpp"

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

// The kernel's tables: one definition for the whole program.
namespace pow_tables {
#include "solver/ManningPowerTables.inc"
}  // namespace pow_tables

namespace pow_kernel {

using namespace pow_tables;

constexpr double kKeep = 0.477;  // the largest |lo| kept, in ulp(hi)
constexpr int kChunk = 64;       // values the kernel takes at a time

[[gnu::always_inline]] inline std::uint64_t bits_of(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}
[[gnu::always_inline]] inline double from_bits(std::uint64_t u) {
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

// The kernel's power of x into y, and in keep whether it is the platform's
// (all bits set) or must be asked of std::pow (0). No branches: the loop over lanes
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
  keep = 0 - static_cast<std::uint64_t>(in_range & sure);
  y = hi * from_bits(static_cast<std::uint64_t>(kPowEN[row] + 1023) << 52);  // exact
}

// The powers of x[0..n), n <= kChunk, in place where the kernel's value is
// the platform's (keep[i] all ones), x[i] unchanged elsewhere (keep[i] 0);
// keep is filled with ones up to a whole number of 8 lanes.
[[gnu::always_inline]] inline void kernel_chunk(double* __restrict x,
                                                std::uint64_t* __restrict keep, int n) {
  double y[kChunk];
  for (int i = 0; i < n; ++i) power_lane(x[i], y[i], keep[i]);
  for (int i = 0; i < n; ++i) x[i] = keep[i] ? y[i] : x[i];
  for (int i = n; i < ((n + 7) & ~7); ++i) keep[i] = ~std::uint64_t{0};
}

#ifdef QUARNO_POW_VECTORS
// The lanes the kernel left (bit i for keep[i] zero), from keep[0..n) as
// kernel_chunk leaves it: 4 lanes at a time on AVX2, 8 on AVX-512.
__attribute__((target("avx2"))) inline std::uint64_t missed_lanes_avx2(
    const std::uint64_t* keep, int n) {
  std::uint64_t kept = 0;
  for (int i = 0; i < n; i += 4) {
    const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep + i));
    kept |= static_cast<std::uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(k))) << i;
  }
  return ~kept & (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1);
}
__attribute__((target("avx512f"))) inline std::uint64_t missed_lanes_avx512(
    const std::uint64_t* keep, int n) {
  std::uint64_t kept = 0;
  for (int i = 0; i < n; i += 8) {
    const __m512i k = _mm512_loadu_si512(keep + i);
    kept |= static_cast<std::uint64_t>(_mm512_test_epi64_mask(k, k)) << i;
  }
  return ~kept & (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1);
}
#endif

}  // namespace pow_kernel

#ifdef QUARNO_POW_VECTORS
// The AVX-512 kernel built with its table reads as hardware gathers (the
// file that defines it is compiled with gathers enabled): the same
// operations, the same bits.
// Returns the lanes left to std::pow, as missed_lanes_avx512.
std::uint64_t pow_kernel_avx512_gather(double* x, int n);
#endif

}  // namespace quarno
