// x^c for the friction term of the flow, c = 1.3333 in single precision (the
// Manning exponent 4/3 as the model writes it), over arrays of hydraulic
// radii, with the same bits as the platform's std::pow(x, c), on AVX-512 or
// AVX2 vectors where the processor has them.
#pragma once

#include "model/Model.hpp"

namespace quarno {

constexpr double kManningExp = 1.333299994468689;  // 1.3333 in single precision

// The fastest path this processor offers.
PowPath best_pow_path();
// Whether this processor can run `path`.
bool pow_path_available(PowPath path);
const char* pow_path_name(PowPath path);
// The path named "scalar", "avx2", "avx512" or "avx512-gather"; false for
// any other name.
bool parse_pow_path(const char* name, PowPath& path);

// Replaces x[i], i < n, by std::pow(x[i], kManningExp), bit for bit, on
// `path`, or on the best path the processor offers below it. A value equal bit for bit to the
// one before takes that one's power again. Returns how many values went to
// std::pow.
int manning_powers_on(PowPath path, double* x, int n);

}  // namespace quarno
