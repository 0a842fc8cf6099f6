#pragma once

#include <charconv>
#include <string>

namespace quarno {

// Shortest text that reads back as the same double, for messages.
inline std::string show_number(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace quarno
