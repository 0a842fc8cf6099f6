#include "output/FlowRecordWriter.hpp"

#include <xxhash.h>
#include <zstd.h>

#include <cinttypes>
#include <cstring>

#include "model/Errors.hpp"

namespace quarno {

namespace {

std::string hex64(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

void put32(unsigned char* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
void put64(unsigned char* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

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
  out_ = file_.open();
  std::string head = std::string(kFlowRecordFirstLine) + "\nkey " + key + "\nprogram " +
                     program + "\nbyte-order little-endian\ncells " + std::to_string(M) +
                     "\ncompression " + (level_ > 0 ? "zstd" : "none") + "\nblock-bytes " +
                     std::to_string(capacity) + "\n";
  chain_ = XXH3_64bits(head.data(), head.size());
  head += "checksum " + hex64(chain_) + "\n";
  write(head.data(), head.size());
}

FlowRecordWriter::~FlowRecordWriter() {
  if (cctx_ != nullptr) ZSTD_freeCCtx(cctx_);
}

void FlowRecordWriter::write(const void* data, std::size_t size) {
  // A failed write shows in the stream's error flag, which commit() reports.
  if (size > 0) std::fwrite(data, 1, size, out_);
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

}  // namespace quarno
