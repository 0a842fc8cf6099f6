// The flow record, its layout, writer and reader: what a run writes with
// --save-flow and reads back with --replay-flow, everything the rest of a
// run takes from the flow, outer step by outer step.
//
// The file starts with text lines, each "name value":
//
//   quarno flow record, version 1
//   key <16 hexadecimal digits>      the flow's inputs, the program, the format
//   program quarno <version>
//   byte-order little-endian
//   cells <M>
//   compression none | zstd
//   block-bytes <the largest block before compression>
//   checksum <16 hexadecimal digits>   XXH3 of the lines above
//
// Blocks follow, each a 24-byte head (magic, bytes before compression, bytes
// stored, outer steps in the block, checksum) and its stored bytes. The
// checksum of a block is the XXH3 hash of its stored bytes seeded with the
// previous checksum and the block's sizes, so that a changed, dropped or
// reordered block is found. An end block closes the file with the counts of
// steps and events and a checksum over them and all before.
//
// Before compression a block is a sequence of entries, each one tag byte:
//   'E' and one byte: an event of the step controller (a console message);
//   'S' and the values of an outer step, in this order: the step dt, the
//       depth hl(1) on the left face of cell 1 and the discharge qr(M) on
//       the right face of cell M as the step's last right-hand side left
//       them, and the state y(1..2M); 8 bytes each. With zstd each value is
//       stored as the difference of its bits from those of its prediction
//       from the last three steps, the bytes transposed (see
//       pack_step_values).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model/Array.hpp"
#include "model/FlowEvent.hpp"
#include "output/ResultFiles.hpp"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace quarno {

inline constexpr const char* kFlowRecordFirstLine = "quarno flow record, version 1";
inline constexpr const char* kFlowRecordVersionPrefix = "quarno flow record, version ";

constexpr unsigned char kEventEntry = 'E';
constexpr unsigned char kStepEntry = 'S';
constexpr std::uint32_t kFlowBlockMagic = 0x31424651u;  // "QFB1" in the file
constexpr std::uint32_t kFlowEndMagic = 0x31454651u;    // "QFE1" in the file
constexpr std::size_t kFlowBlockHeadBytes = 24;
constexpr std::size_t kFlowEndBytes = 40;  // head, then steps, events, checksum

// zstd level of a record when --flow-compression is not given; 0 stores the
// values as they are.
constexpr int kDefaultFlowCompression = 1;
constexpr int kMaxFlowCompression = 19;

// Values of one outer step: dt, hl(1), qr(M), y(1..2M).
constexpr std::size_t flow_step_values(int M) { return 2 * static_cast<std::size_t>(M) + 3; }
constexpr std::size_t flow_step_entry_bytes(int M) { return 1 + 8 * flow_step_values(M); }
// The most bytes a block holds before compression: at least 1 MiB, and room
// for two outer steps with their events.
constexpr std::size_t flow_block_bytes(int M) {
  return std::max<std::size_t>(std::size_t{1} << 18, 2 * flow_step_entry_bytes(M) + 64);
}

// The seed of a block's checksum: the checksum before it and the block's head.
constexpr std::uint64_t flow_block_seed(std::uint64_t previous, std::uint32_t raw,
                                        std::uint32_t stored, std::uint32_t steps) {
  return previous ^ ((static_cast<std::uint64_t>(raw) << 32) | stored) ^
         (static_cast<std::uint64_t>(steps) * 0x9e3779b97f4a7c15ULL);
}

}  // namespace quarno

namespace quarno {

// Bytes that are not cleared when made: their memory is touched only as it
// is used (a record's blocks are mostly smaller than the buffers).
class ByteBuffer {
 public:
  void resize(std::size_t n) {
    bytes_.reset(new unsigned char[n]);
    size_ = n;
  }
  unsigned char* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }
  unsigned char& operator[](std::size_t i) { return bytes_[i]; }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  std::size_t size_ = 0;
};

// The history of an outer step's values that the compressed form predicts
// each value from: the values of the last three steps (zero before the
// first).
struct StepHistory {
  std::vector<double> last, before, third;
  std::vector<std::uint64_t> folded;  // working space of the step being packed or unpacked
  void size(std::size_t n) {
    folded.assign(n, 0);
    last.assign(n, 0.0);
    before.assign(n, 0.0);
    third.assign(n, 0.0);
  }
  void push(const double* values, std::size_t n) {
    third.swap(before);
    before.swap(last);
    std::memcpy(last.data(), values, 8 * n);
  }
};

inline std::uint64_t bits_of(double v) {
  std::uint64_t u;
  std::memcpy(&u, &v, 8);
  return u;
}

// The bits of a value's prediction from its last three: the quadratic
// through them, extrapolated one step; the last value where that is not
// finite. Exact double arithmetic in a fixed order, so that writer and
// reader predict alike.
inline std::uint64_t predicted_bits(double a, double b, double c) {
  const double p = (3.0 * a - 3.0 * b) + c;
  return bits_of(std::isfinite(p) ? p : a);
}

// The compressed form of an outer step's n values: each value's bits minus
// those of its prediction, as a signed difference folded to unsigned (0, -1,
// 1, -2 ... as 0, 1, 2, 3 ...), bytes transposed so that the mostly zero
// high bytes of all values lie together; then the history moves on.
inline void pack_step_values(const double* values, StepHistory& h, std::size_t n,
                             unsigned char* out) {
  std::uint64_t* z = h.folded.data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t d =
        bits_of(values[i]) - predicted_bits(h.last[i], h.before[i], h.third[i]);
    z[i] = (d << 1) ^ (std::uint64_t{0} - (d >> 63));
  }
  for (std::size_t b = 0; b < 8; ++b)
    for (std::size_t i = 0; i < n; ++i) out[b * n + i] = static_cast<unsigned char>(z[i] >> (8 * b));
  h.push(values, n);
}

// The inverse: the n values into `values`, and the history moves on.
inline void unpack_step_values(const unsigned char* in, StepHistory& h, std::size_t n,
                               double* values) {
  std::uint64_t* __restrict z = h.folded.data();
  const unsigned char* __restrict bytes = in;
  for (std::size_t i = 0; i < n; ++i) z[i] = bytes[i];
  for (std::size_t b = 1; b < 8; ++b) {
    const unsigned char* __restrict plane = bytes + b * n;
    for (std::size_t i = 0; i < n; ++i) z[i] |= static_cast<std::uint64_t>(plane[i]) << (8 * b);
  }
  const double* __restrict a = h.last.data();
  const double* __restrict bb = h.before.data();
  const double* __restrict c = h.third.data();
  double* __restrict v = values;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t d = (z[i] >> 1) ^ (std::uint64_t{0} - (z[i] & 1));
    z[i] = predicted_bits(a[i], bb[i], c[i]) + d;
  }
  std::memcpy(v, z, 8 * n);
  h.push(values, n);
}

// Writing a flow record: entries are gathered in a block of fixed size,
// which is compressed, checksummed and written when the next entry would not
// fit. Every buffer is sized when the writer is made, so that writing steps
// allocates nothing.
class FlowRecordWriter {
 public:
  // A record of M cells for the flow of `key`, compressed at zstd `level`
  // (0: none), written to a temporary file beside `path` that replaces
  // `path` on commit(). Throws OutputError naming `path`.
  FlowRecordWriter(const std::string& path, const std::string& key, const std::string& program,
                   int M, int level);
  ~FlowRecordWriter();
  FlowRecordWriter(const FlowRecordWriter&) = delete;
  FlowRecordWriter& operator=(const FlowRecordWriter&) = delete;

  void event(FlowEvent e);
  // One outer step: its length, the face values hl(1) and qr(M) and the
  // state y(1..2M).
  void step(double dt, double hl1, double qrM, const Array<double>& y);
  // Writes the last block and the end, and puts the record in place; throws
  // OutputError naming the file when any write failed. Without commit() the
  // temporary file is removed and `path` is untouched.
  void commit();

  std::uint64_t steps() const { return steps_; }
  std::uint64_t stored_bytes() const { return stored_total_; }

 private:
  void flush_block();
  void write(const void* data, std::size_t size);

  std::string path_;
  FileReplacement file_;
  std::FILE* out_ = nullptr;
  int M_;
  int level_;
  ZSTD_CCtx_s* cctx_ = nullptr;
  std::vector<unsigned char> raw_;     // the block being gathered
  std::vector<unsigned char> stored_;  // the block as written
  std::vector<double> current_;  // the step's values
  StepHistory history_;
  std::size_t used_ = 0;
  std::uint32_t block_steps_ = 0;
  std::uint64_t chain_ = 0;
  std::uint64_t steps_ = 0, events_ = 0, stored_total_ = 0;
};

// Reading a flow record without trusting it: the whole file is checked when
// it is opened, before a run touches any result file, and then read again
// block by block as the run replays it, into buffers sized when it was
// opened.
class FlowRecordReader {
 public:
  // Opens `path` (a regular file; a FIFO or a device is refused, never
  // waited on) and checks it whole: its header, the checksum of every block
  // and the end, then every entry decoded (known tags, the counts of the
  // end, finite values, steps above zero, depths not below zero). Throws
  // InputError naming `path` when it cannot be read, is not a flow record,
  // is of another version, is damaged, is cut short or holds an impossible
  // flow.
  explicit FlowRecordReader(const std::string& path);
  ~FlowRecordReader();
  FlowRecordReader(const FlowRecordReader&) = delete;
  FlowRecordReader& operator=(const FlowRecordReader&) = delete;

  const std::string& path() const { return path_; }
  const std::string& key() const { return key_; }
  int cells() const { return M_; }
  std::uint64_t steps() const { return steps_; }

  enum class Entry { event, step, end };
  // The next entry from the start of the record: an event of the step
  // controller (into `event`), or an outer step, whose values (dt, hl(1),
  // qr(M), y(1..2M)) `values` then points to until the next call; or the
  // end. Throws InputError naming the file when a block cannot be read or
  // decoded.
  Entry next(FlowEvent& event, const double*& values);
  // Back to the first entry.
  void rewind();

 private:
  void read_header();
  void check_blocks();
  void check_entries();
  bool read_block_head(std::uint32_t& raw, std::uint32_t& stored, std::uint32_t& steps,
                       std::uint64_t& checksum, unsigned char* head);
  void load_block();
  void read_exactly(void* data, std::size_t size);
  [[noreturn]] void fail(const std::string& why) const;

  std::string path_;
  int fd_ = -1;
  std::string key_;
  int M_ = 0;
  bool zstd_ = false;
  std::size_t capacity_ = 0;
  long long data_start_ = 0;
  std::uint64_t header_checksum_ = 0;
  std::uint64_t steps_ = 0, events_ = 0;
  ZSTD_DCtx_s* dctx_ = nullptr;
  ByteBuffer raw_, stored_;
  std::vector<double> values_;  // the last step's values
  StepHistory history_;
  std::size_t used_ = 0, pos_ = 0;
  std::uint64_t block_ = 0;  // blocks read so far while replaying
  bool at_end_ = false;
};

}  // namespace quarno
