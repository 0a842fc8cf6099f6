#include "solver/ManningPower.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "solver/ManningPowerKernel.hpp"

namespace quarno {

namespace {

using pow_kernel::bits_of;
using pow_kernel::kChunk;

#ifdef QUARNO_POW_VECTORS
// The kernel with its table reads as scalar loads into the vector lanes.
// Each returns the lanes left to std::pow.
__attribute__((target("avx2,fma"))) std::uint64_t kernel_avx2(double* x, int n) {
  std::uint64_t keep[kChunk];
  pow_kernel::kernel_chunk(x, keep, n);
  return pow_kernel::missed_lanes_avx2(keep, n);
}
__attribute__((target("avx512f,avx512dq,avx512vl,fma"))) std::uint64_t kernel_avx512(double* x,
                                                                                    int n) {
  std::uint64_t keep[kChunk];
  pow_kernel::kernel_chunk(x, keep, n);
  return pow_kernel::missed_lanes_avx512(keep, n);
}

using Kernel = std::uint64_t (*)(double*, int);

Kernel kernel_of(PowPath path) {
  switch (path) {
    case PowPath::avx2: return kernel_avx2;
    case PowPath::avx512: return kernel_avx512;
    case PowPath::avx512_gather: return pow_kernel_avx512_gather;
    case PowPath::scalar: break;
  }
  return nullptr;
}
#endif

constexpr PowPath kPaths[] = {PowPath::scalar, PowPath::avx2, PowPath::avx512,
                              PowPath::avx512_gather};

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
    case PowPath::avx512_gather:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
  }
  return false;
#else
  return path == PowPath::scalar;
#endif
}

// The widest vectors the processor has. On AVX-512, Intel's processors read
// the tables faster with hardware gathers (8% on the bench deck); elsewhere
// (AMD's, where gathers are microcoded) lane-by-lane loads are the choice.
// On AVX2 gathers are slower (by 17% on that Intel processor).
PowPath best_pow_path() {
#ifdef QUARNO_POW_VECTORS
  __builtin_cpu_init();
  const bool gathers = __builtin_cpu_is("intel");
#else
  const bool gathers = false;
#endif
  if (pow_path_available(PowPath::avx512))
    return gathers ? PowPath::avx512_gather : PowPath::avx512;
  if (pow_path_available(PowPath::avx2)) return PowPath::avx2;
  return PowPath::scalar;
}

const char* pow_path_name(PowPath path) {
  switch (path) {
    case PowPath::scalar: return "scalar";
    case PowPath::avx2: return "avx2";
    case PowPath::avx512: return "avx512";
    case PowPath::avx512_gather: return "avx512-gather";
  }
  return "scalar";
}

bool parse_pow_path(const char* name, PowPath& path) {
  for (PowPath p : kPaths) {
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
  static const bool has_avx512 = pow_path_available(PowPath::avx512);
  static const bool has_avx2 = pow_path_available(PowPath::avx2);
  const bool wide = path == PowPath::avx512 || path == PowPath::avx512_gather;
  const bool narrow = path == PowPath::avx2;
  if ((wide && !has_avx512) || (narrow && !has_avx2)) path = best;
  if (path == PowPath::scalar) return scalar_powers(x, n);
  const Kernel kernel = kernel_of(path);
  std::uint64_t last_bits = 0;
  double last_power = 0.0;
  bool have_last = false;
  int calls = 0;
  for (int i0 = 0; i0 < n; i0 += kChunk) {
    const int m = n - i0 < kChunk ? n - i0 : kChunk;
    // The lanes the kernel left, in order.
    for (std::uint64_t missed = kernel(x + i0, m); missed != 0; missed &= missed - 1) {
      double& v = x[i0 + __builtin_ctzll(missed)];
      const std::uint64_t b = bits_of(v);
      if (!have_last || b != last_bits) {
        last_bits = b;
        last_power = std::pow(v, kManningExp);
        have_last = true;
        ++calls;
      }
      v = last_power;
    }
  }
  return calls;
#else
  (void)path;
  return scalar_powers(x, n);
#endif
}

}  // namespace quarno
