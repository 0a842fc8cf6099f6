// Compares two output texts line by line: the same lines in the same layout,
// and every printed number equal or within one unit of its last printed
// digit.
#pragma once

#include <string>

namespace quarno::test {

// Empty when the texts agree; otherwise a description of the first
// difference (line number, both lines).
std::string compare_output(const std::string& want, const std::string& got);

}  // namespace quarno::test
