#include "input/StateText.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "input/Reader.hpp"
#include "model/Errors.hpp"

namespace quarno {

std::string quote_state(std::string_view text) {
  const std::string shown = quote_input(text);
  return "'" + shown.substr(1, shown.size() - 2) + "'";
}

std::string read_regular_file(const std::string& path, std::size_t max_bytes,
                              std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return "not a regular file";
  }
  // A file larger than any it could be is refused from its size, unread.
  if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
    ::close(fd);
    return kFileTooLarge;
  }
  char buf[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return std::strerror(error);
    }
    if (got == 0) break;
    text.append(buf, static_cast<std::size_t>(got));
    if (text.size() > max_bytes) {
      ::close(fd);
      return kFileTooLarge;
    }
  }
  ::close(fd);
  return {};
}

std::string read_state_file(const std::string& path, std::size_t max_bytes, const char* what,
                            const std::string& bound) {
  std::string text;
  const std::string why = read_regular_file(path, max_bytes, text);
  if (why == kFileTooLarge)
    throw InputError(path + ": the file is far larger than any saved " + what + bound);
  if (!why.empty())
    throw InputError(path + ": cannot read the saved " + what + " (" + why + ")");
  return text;
}

bool StateText::next_line(std::string_view& line) {
  while (pos_ < text_.size()) {
    const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
    line = text_.substr(pos_, end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = end + 1;
    ++line_number_;
    if (line.empty() || line.front() != '#') return true;
  }
  return false;
}

std::string_view StateText::expect_line(const char* what) {
  std::string_view line;
  if (!next_line(line)) fail_file(std::string("the file ends before ") + what);
  return line;
}

std::string_view StateText::field(const char* name) {
  const std::string_view line = expect_line(name);
  const std::size_t n = std::strlen(name);
  if (line.substr(0, n) != name || line.size() <= n || line[n] != ',')
    fail_line(std::string("expected ") + name + ",<value>, found " + quote_state(line));
  return line.substr(n + 1);
}

bool StateText::next_is(const char* name) const {
  StateText ahead = *this;
  std::string_view line;
  if (!ahead.next_line(line)) return false;
  const std::size_t n = std::strlen(name);
  return line.size() > n && line.substr(0, n) == name && line[n] == ',';
}

double StateText::number(std::string_view text, const char* what) {
  double v = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size())
    fail_line(std::string(what) + " is not a number: " + quote_state(text));
  if (!std::isfinite(v)) fail_line(std::string(what) + " is not finite: " + quote_state(text));
  return v;
}

long StateText::whole(std::string_view text, const char* what) {
  long v = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size())
    fail_line(std::string(what) + " is not a whole number: " + quote_state(text));
  return v;
}

void StateText::fail_line(const std::string& what) const {
  throw InputError(path_ + ", line " + std::to_string(line_number_) + ": " + what);
}

void StateText::fail_file(const std::string& what) const { throw InputError(path_ + ": " + what); }

std::string KeyHash::hex() const {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h_));
  return text;
}

bool is_key(std::string_view key) {
  if (key.size() != 16) return false;
  for (const char c : key)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace quarno
