#include "input/FlowRecordFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#include <zstd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "input/StateText.hpp"
#include "model/Errors.hpp"
#include "model/ShowNumber.hpp"
#include "model/Sizing.hpp"

namespace quarno {

namespace {

std::string hex64(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

void put32(unsigned char* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
void put64(unsigned char* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

constexpr std::size_t kMaxHeaderBytes = 1024;

std::uint32_t get32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint64_t get64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

FlowRecordWriter::FlowRecordWriter(const std::string& path, const std::string& key,
                                   const std::string& program, int M, int level)
    : path_(path), file_(path_.c_str()), M_(M), level_(level) {
  const std::size_t capacity = flow_block_bytes(M);
  const std::size_t n = flow_step_values(M);
  raw_.resize(capacity);
  stored_.resize(level_ > 0 ? ZSTD_compressBound(capacity) : 0);
  current_.assign(n, 0.0);
  history_.size(n);
  if (level_ > 0) {
    cctx_ = ZSTD_createCCtx();
    if (cctx_ == nullptr) throw OutputError(path_ + ": cannot write (no memory to compress)");
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level_);
    // A first compression of a whole block sizes zstd's working memory, so
    // that the blocks of the run allocate nothing.
    ZSTD_compress2(cctx_, stored_.data(), stored_.size(), raw_.data(), raw_.size());
  }
  std::string head = std::string(kFlowRecordFirstLine) + "\nkey " + key + "\nprogram " +
                     program + "\nbyte-order little-endian\ncells " + std::to_string(M) +
                     "\ncompression " + (level_ > 0 ? "zstd" : "none") + "\nblock-bytes " +
                     std::to_string(capacity) + "\n";
  chain_ = XXH3_64bits(head.data(), head.size());
  head += "checksum " + hex64(chain_) + "\n";
  try {
    out_ = file_.open();
    write(head.data(), head.size());
  } catch (...) {
    if (cctx_ != nullptr) ZSTD_freeCCtx(cctx_);
    throw;
  }
}

FlowRecordWriter::~FlowRecordWriter() {
  if (cctx_ != nullptr) ZSTD_freeCCtx(cctx_);
}

void FlowRecordWriter::write(const void* data, std::size_t size) {
  // The first write that fails ends the run, with the system's reason (a
  // full disk, a file-size limit); the temporary file is then removed.
  errno = 0;
  if (size > 0 && std::fwrite(data, 1, size, out_) != size) {
    const int error = errno;
    throw OutputError(path_ + ": cannot write (" +
                      (error != 0 ? std::strerror(error) : "write error") + ")");
  }
  stored_total_ += size;
}

void FlowRecordWriter::event(FlowEvent e) {
  if (used_ + 2 > raw_.size()) flush_block();
  raw_[used_++] = kEventEntry;
  raw_[used_++] = static_cast<unsigned char>(e);
  ++events_;
}

void FlowRecordWriter::step(double dt, double hl1, double qrM, const Array<double>& y) {
  const std::size_t n = flow_step_values(M_);
  if (used_ + flow_step_entry_bytes(M_) > raw_.size()) flush_block();
  unsigned char* p = raw_.data() + used_;
  *p++ = kStepEntry;
  current_[0] = dt;
  current_[1] = hl1;
  current_[2] = qrM;
  std::memcpy(&current_[3], y.data(), 8 * (n - 3));
  if (level_ > 0)
    pack_step_values(current_.data(), history_, n, p);
  else
    std::memcpy(p, current_.data(), 8 * n);
  used_ += flow_step_entry_bytes(M_);
  ++block_steps_;
  ++steps_;
}

void FlowRecordWriter::flush_block() {
  if (used_ == 0) return;
  const unsigned char* payload = raw_.data();
  std::size_t size = used_;
  if (level_ > 0) {
    size = ZSTD_compress2(cctx_, stored_.data(), stored_.size(), raw_.data(), used_);
    if (ZSTD_isError(size))
      throw OutputError(path_ + ": cannot write (compression failed: " +
                        ZSTD_getErrorName(size) + ")");
    payload = stored_.data();
  }
  const auto raw32 = static_cast<std::uint32_t>(used_);
  const auto stored32 = static_cast<std::uint32_t>(size);
  chain_ = XXH3_64bits_withSeed(payload, size, flow_block_seed(chain_, raw32, stored32,
                                                               block_steps_));
  unsigned char head[kFlowBlockHeadBytes];
  put32(head, kFlowBlockMagic);
  put32(head + 4, raw32);
  put32(head + 8, stored32);
  put32(head + 12, block_steps_);
  put64(head + 16, chain_);
  write(head, sizeof head);
  write(payload, size);
  used_ = 0;
  block_steps_ = 0;
}

void FlowRecordWriter::commit() {
  flush_block();
  unsigned char end[kFlowEndBytes] = {};
  put32(end, kFlowEndMagic);
  put64(end + 16, steps_);
  put64(end + 24, events_);
  chain_ = XXH3_64bits_withSeed(end + 16, 16, chain_);
  put64(end + 32, chain_);
  write(end, sizeof end);
  out_ = nullptr;
  file_.commit();
}

void FlowRecordReader::fail(const std::string& why) const { throw InputError(path_ + ": " + why); }

FlowRecordReader::FlowRecordReader(const std::string& path) : path_(path) {
  // Without blocking: opening a FIFO for reading would wait for a writer.
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) {
    const int error = errno;
    fail(std::string("cannot read the flow record (") + std::strerror(error) + ")");
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    fail("cannot read the flow record (not a regular file)");
  }
  try {
    read_header();
    check_blocks();
    if (zstd_) {
      dctx_ = ZSTD_createDCtx();
      if (dctx_ == nullptr) throw std::bad_alloc();
    }
    rewind();
    check_entries();
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    if (dctx_ != nullptr) ZSTD_freeDCtx(dctx_);
    dctx_ = nullptr;
    ::close(fd_);
    fd_ = -1;
    throw;
  }
  rewind();
}

void FlowRecordReader::rewind() {
  ::lseek(fd_, static_cast<off_t>(data_start_), SEEK_SET);
  history_.size(flow_step_values(M_));
  used_ = pos_ = 0;
  block_ = 0;
  at_end_ = false;
}

namespace {

// What makes the values of a recorded outer step impossible (dt, hl(1),
// qr(M), y(1..2M) of M cells): a value that is not finite, a step that is
// not above zero, a depth below zero; empty when they are possible.
std::string impossible_step_values(const double* v, int M) {
  const std::size_t n = flow_step_values(M);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(v[i])) continue;
    if (i == 0) return "its length is " + show_number(v[0]) + " s";
    if (i == 1) return "the depth at the upstream end is " + show_number(v[1]) + " m";
    if (i == 2) return "the discharge at the downstream end is " + show_number(v[2]);
    const std::size_t cell = (i - 3) % static_cast<std::size_t>(M) + 1;
    return std::string(i - 3 < static_cast<std::size_t>(M) ? "the depth" : "the discharge") +
           " in cell " + std::to_string(cell) + " is " + show_number(v[i]);
  }
  if (!(v[0] > 0.0)) return "its length is " + show_number(v[0]) + " s";
  if (v[1] < 0.0) return "the depth at the upstream end is " + show_number(v[1]) + " m";
  for (int i = 1; i <= M; ++i)
    if (v[2 + i] < 0.0)
      return "the depth in cell " + std::to_string(i) + " is " + show_number(v[2 + i]) + " m";
  return {};
}

}  // namespace

// Every entry decoded once: known tags, as many steps and events as the end
// counts, and in every step values a flow can have.
void FlowRecordReader::check_entries() {
  FlowEvent event{};
  const double* values = nullptr;
  std::uint64_t steps = 0, events = 0;
  for (;;) {
    const Entry entry = next(event, values);
    if (entry == Entry::end) break;
    if (entry == Entry::event) {
      ++events;
      continue;
    }
    ++steps;
    const std::string why = impossible_step_values(values, M_);
    if (!why.empty())
      fail("the flow record holds an impossible flow (outer step " + std::to_string(steps) +
           ": " + why + ")");
  }
  if (steps != steps_ || events != events_)
    fail("the flow record is damaged (its end counts " + std::to_string(steps_) + " steps and " +
         std::to_string(events_) + " events, its blocks hold " + std::to_string(steps) +
         " and " + std::to_string(events) + ")");
}

FlowRecordReader::~FlowRecordReader() {
  if (dctx_ != nullptr) ZSTD_freeDCtx(dctx_);
  if (fd_ >= 0) ::close(fd_);
}

void FlowRecordReader::read_exactly(void* data, std::size_t size) {
  auto* p = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd_, p, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      fail(std::string("cannot read the flow record (") + std::strerror(error) + ")");
    }
    if (got == 0) fail("the flow record is cut short (it ends before its end block)");
    p += got;
    size -= static_cast<std::size_t>(got);
  }
}

// The text lines at the start, in their order, each checked.
void FlowRecordReader::read_header() {
  char buf[kMaxHeaderBytes];
  ssize_t got;
  do got = ::pread(fd_, buf, sizeof buf, 0);
  while (got < 0 && errno == EINTR);
  if (got < 0) {
    const int error = errno;
    fail(std::string("cannot read the flow record (") + std::strerror(error) + ")");
  }
  const std::string_view text(buf, static_cast<std::size_t>(got));
  std::size_t pos = 0;
  auto line = [&](const char* what) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos)
      fail(pos == 0 ? std::string("not a flow record") : std::string("the flow record is cut "
           "short or damaged (no line ") + quote_state(what) + " in its header)");
    const std::string_view l = text.substr(pos, end - pos);
    pos = end + 1;
    return l;
  };
  auto field = [&](const char* name) {
    const std::string_view l = line(name);
    const std::size_t n = std::strlen(name);
    if (l.size() <= n + 1 || l.compare(0, n, name) != 0 || l[n] != ' ')
      fail(std::string("the flow record is damaged (line ") + quote_state(l) + " where " +
           name + " belongs)");
    return l.substr(n + 1);
  };
  const std::string_view first = line("first");
  if (first != kFlowRecordFirstLine) {
    const std::string_view prefix = kFlowRecordVersionPrefix;
    if (first.compare(0, prefix.size(), prefix) == 0)
      fail("a flow record of version " + quote_state(first.substr(prefix.size())) +
           "; this program reads version 1");
    fail("not a flow record (it starts with " + quote_state(first) + ")");
  }
  key_ = std::string(field("key"));
  if (!is_key(key_)) fail("the flow record is damaged (key " + quote_state(key_) + ")");
  field("program");
  if (field("byte-order") != "little-endian")
    fail("a flow record of another byte order; this program reads little-endian ones");
  const std::string_view cells = field("cells");
  const std::string_view compression = field("compression");
  const std::string_view block = field("block-bytes");
  const std::size_t checked = pos;
  const std::string_view checksum = field("checksum");
  char* end = nullptr;
  const std::string cells_text(cells);
  const long M = std::strtol(cells_text.c_str(), &end, 10);
  if (*end != '\0' || M < 1 || M >= kNodeLimit)
    fail("the flow record is damaged (cells " + quote_state(cells) + ")");
  M_ = static_cast<int>(M);
  if (compression != "zstd" && compression != "none")
    fail("the flow record is damaged (compression " + quote_state(compression) + ")");
  zstd_ = compression == "zstd";
  capacity_ = flow_block_bytes(M_);
  if (block != std::to_string(capacity_))
    fail("the flow record is damaged (block-bytes " + quote_state(block) + ")");
  char sum[17];
  header_checksum_ = XXH3_64bits(buf, checked);
  std::snprintf(sum, sizeof sum, "%016" PRIx64, header_checksum_);
  if (checksum != sum) fail("the flow record is damaged (the checksum of its header)");
  data_start_ = static_cast<long long>(pos);
  ::lseek(fd_, static_cast<off_t>(pos), SEEK_SET);
  raw_.resize(capacity_);
  stored_.resize(zstd_ ? ZSTD_compressBound(capacity_) : capacity_);
  values_.assign(flow_step_values(M_), 0.0);
  history_.size(flow_step_values(M_));
}

// The head of the next block into its fields; false for the end block,
// whose fields are checked here. The file position is after the head.
bool FlowRecordReader::read_block_head(std::uint32_t& raw, std::uint32_t& stored,
                                       std::uint32_t& steps, std::uint64_t& checksum,
                                       unsigned char* head) {
  read_exactly(head, kFlowBlockHeadBytes);
  const std::uint32_t magic = get32(head);
  raw = get32(head + 4);
  stored = get32(head + 8);
  steps = get32(head + 12);
  checksum = get64(head + 16);
  if (magic == kFlowEndMagic) return false;
  if (magic != kFlowBlockMagic || raw == 0 || raw > capacity_ || stored > stored_.size() ||
      (!zstd_ && stored != raw))
    fail("the flow record is damaged (a block's head at byte " +
         std::to_string(::lseek(fd_, 0, SEEK_CUR) - static_cast<off_t>(kFlowBlockHeadBytes)) +
         ")");
  return true;
}

// Every block's checksum, the end's counts and checksum, and nothing after.
void FlowRecordReader::check_blocks() {
  std::uint64_t chain = header_checksum_;
  unsigned char head[kFlowEndBytes];
  std::uint64_t steps = 0, blocks = 0;
  std::uint32_t raw, stored, block_steps;
  std::uint64_t checksum;
  while (read_block_head(raw, stored, block_steps, checksum, head)) {
    read_exactly(stored_.data(), stored);
    chain = XXH3_64bits_withSeed(stored_.data(), stored,
                                 flow_block_seed(chain, raw, stored, block_steps));
    ++blocks;
    if (chain != checksum)
      fail("the flow record is damaged (the checksum of block " + std::to_string(blocks) + ")");
    steps += block_steps;
  }
  read_exactly(head + kFlowBlockHeadBytes, kFlowEndBytes - kFlowBlockHeadBytes);
  steps_ = get64(head + 16);
  events_ = get64(head + 24);
  chain = XXH3_64bits_withSeed(head + 16, 16, chain);
  if (raw != 0 || stored != 0 || block_steps != 0 ||
      get64(head + 32) != chain || steps_ != steps)
    fail("the flow record is damaged (its end)");
  unsigned char extra;
  ssize_t got;
  do got = ::read(fd_, &extra, 1);
  while (got < 0 && errno == EINTR);
  if (got != 0) fail("the flow record is damaged (bytes after its end)");
}

// The next block, read, decompressed and ready to be taken apart.
void FlowRecordReader::load_block() {
  unsigned char head[kFlowBlockHeadBytes];
  std::uint32_t raw, stored, steps;
  std::uint64_t checksum;
  if (!read_block_head(raw, stored, steps, checksum, head)) {
    at_end_ = true;
    return;
  }
  ++block_;
  if (!zstd_) {
    read_exactly(raw_.data(), stored);
  } else {
    read_exactly(stored_.data(), stored);
    const std::size_t size = ZSTD_decompressDCtx(dctx_, raw_.data(), raw_.size(),
                                                 stored_.data(), stored);
    if (ZSTD_isError(size) || size != raw)
      fail("the flow record is damaged (block " + std::to_string(block_) + " cannot be read)");
  }
  used_ = raw;
  pos_ = 0;
}

FlowRecordReader::Entry FlowRecordReader::next(FlowEvent& event, const double*& values) {
  while (pos_ == used_) {
    if (at_end_) return Entry::end;
    load_block();
    if (at_end_) return Entry::end;
  }
  const unsigned char tag = raw_[pos_];
  const std::size_t n = flow_step_values(M_);
  if (tag == kEventEntry && pos_ + 2 <= used_ && raw_[pos_ + 1] >= 1 &&
      raw_[pos_ + 1] <= kLastFlowEvent) {
    event = static_cast<FlowEvent>(raw_[pos_ + 1]);
    pos_ += 2;
    return Entry::event;
  }
  if (tag != kStepEntry || pos_ + flow_step_entry_bytes(M_) > used_)
    fail("the flow record is damaged (block " + std::to_string(block_) + " cannot be read)");
  const unsigned char* p = raw_.data() + pos_ + 1;
  if (zstd_)
    unpack_step_values(p, history_, n, values_.data());
  else
    std::memcpy(values_.data(), p, 8 * n);
  pos_ += flow_step_entry_bytes(M_);
  values = values_.data();
  return Entry::step;
}

}  // namespace quarno
