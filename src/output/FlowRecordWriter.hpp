// Writing a flow record (the layout is described in model/FlowRecord.hpp):
// entries are gathered in a block of fixed size, which is compressed,
// checksummed and written when the next entry would not fit. Every buffer is
// sized when the writer is made, so that writing steps allocates nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model/Array.hpp"
#include "model/FlowRecord.hpp"
#include "output/ResultFiles.hpp"

struct ZSTD_CCtx_s;

namespace quarno {

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

}  // namespace quarno
