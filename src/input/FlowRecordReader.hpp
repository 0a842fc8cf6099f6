// Reading a flow record (the layout is described in model/FlowRecord.hpp)
// without trusting it: the whole file is checked when it is opened, before a
// run touches any result file, and then read again block by block as the
// run replays it, into buffers sized when it was opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/FlowRecord.hpp"

struct ZSTD_DCtx_s;

namespace quarno {

class FlowRecordReader {
 public:
  // Opens `path` (a regular file; a FIFO or a device is refused, never
  // waited on) and checks it whole: its header, the checksum of every block
  // and the end. Throws InputError naming `path` when it cannot be read, is
  // not a flow record, is of another version, is damaged or is cut short.
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

 private:
  void read_header();
  void check_blocks();
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
