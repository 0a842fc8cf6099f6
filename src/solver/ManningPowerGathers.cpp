// The Manning power's AVX-512 kernel with its table reads as hardware gathers.
// This file alone is compiled with gathers enabled (the build sets the
// tuning flag for it); the kernel's operations are those of every other
// path, so are its bits.
#include "solver/ManningPowerKernel.hpp"

namespace quarno {

#ifdef QUARNO_POW_VECTORS
__attribute__((target("avx512f,avx512dq,avx512vl,fma"))) std::uint64_t pow_kernel_avx512_gather(
    double* x, int n) {
  std::uint64_t keep[pow_kernel::kChunk];
  pow_kernel::kernel_chunk(x, keep, n);
  return pow_kernel::missed_lanes_avx512(keep, n);
}
#endif

}  // namespace quarno
