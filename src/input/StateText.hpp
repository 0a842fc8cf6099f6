// What the saved-state files share: reading a small regular file whole
// without blocking, a line reader for "name,value" text that names the file
// and line of every fault, quoting of found text for messages, and the
// 64-bit hash behind their keys and checksums.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/Array.hpp"

namespace quarno {

// Text from a file for a message: control and other bytes as \xNN, at most
// 40 characters, in single quotes.
std::string quote_state(std::string_view text);

// The whole of the regular file `path`, at most `max_bytes`. It is opened
// without blocking, so a FIFO or a device is refused, never waited on.
// Throws InputError naming `path` ("cannot read the saved <what> (...)"); a
// file too large says so, followed by `bound` (what the limit was made for).
std::string read_state_file(const std::string& path, std::size_t max_bytes, const char* what,
                            const std::string& bound = {});

// The whole of the regular file `path` into `text`, opened without blocking
// (a FIFO would wait for a writer); a file larger than `max_bytes` is refused
// from its size before it is read. Empty on success; otherwise why it was
// not read: the system's reason, "not a regular file", or kFileTooLarge past
// `max_bytes`.
inline constexpr char kFileTooLarge[] = "too large";
std::string read_regular_file(const std::string& path, std::size_t max_bytes, std::string& text);

// Reads text line by line, passing over comment lines that start with '#'.
class StateText {
 public:
  StateText(std::string_view text, const std::string& path) : text_(text), path_(path) {}

  // The next line that is not a comment; false at the end of the text.
  bool next_line(std::string_view& line);
  // The next line; an InputError saying the file ends before `what` if none.
  std::string_view expect_line(const char* what);
  // The value of the next line, "name,value".
  std::string_view field(const char* name);
  // Whether the next line that is not a comment is "name,<value>"; reads nothing.
  bool next_is(const char* name) const;
  double number(std::string_view text, const char* what);
  long whole(std::string_view text, const char* what);

  [[noreturn]] void fail_line(const std::string& what) const;
  [[noreturn]] void fail_file(const std::string& what) const;

 private:
  std::string_view text_;
  const std::string& path_;
  std::size_t pos_ = 0;
  int line_number_ = 0;
};

// FNV-1a, 64 bits, over the bytes of the values fed to it.
class KeyHash {
 public:
  void add(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < size; ++k) {
      h_ ^= p[k];
      h_ *= 0x100000001b3ULL;
    }
  }
  void add(double v) { add(&v, sizeof v); }
  void add(int v) { add(&v, sizeof v); }
  void add(const Array<double>& a, int from, int to) {
    for (int i = from; i <= to; ++i) add(a(i));
  }
  std::uint64_t value() const { return h_; }
  // The value as 16 lower-case hexadecimal digits.
  std::string hex() const;

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

// Whether `key` is 16 lower-case hexadecimal digits.
bool is_key(std::string_view key);

}  // namespace quarno
