// libFuzzer target: the readers of what a run saves for a later one. An
// input that starts as a flow record is written to a file and opened as
// --replay-flow opens it (the whole record checked, every entry decoded),
// then read entry by entry to its end twice, as a replay reads it after the
// check; any other input is read as a saved run state. Inputs of odd length
// have their checksums made again first, as the writers make them, so that
// changed contents reach the checks behind the checksums. Bad input must end in
// InputError with a message that names the file and holds no control bytes;
// any other exception, a sanitizer report or a bounds failure is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xxhash.h>
#include <string>
#include <string_view>

#include "input/FlowRecordFile.hpp"
#include "input/RunStateFile.hpp"
#include "input/StateText.hpp"
#include "model/Errors.hpp"
#include "model/FlowEvent.hpp"

namespace {

// A message must start with the file's name and be one line of printable text.
void check_message(const quarno::InputError& e, const std::string& name) {
  const std::string_view message = e.what();
  bool good = message.rfind(name, 0) == 0;
  for (const char ch : message) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) good = false;
  }
  if (!good) {
    std::fprintf(stderr, "malformed input error message: %s\n", e.what());
    std::abort();
  }
}

// The file the records are written to, in memory: its name in /proc.
int record_file(std::string& name) {
  static int fd = -1;
  if (fd < 0) fd = ::memfd_create("fuzz.qflow", 0);
  if (fd < 0) std::abort();
  name = "/proc/self/fd/" + std::to_string(fd);
  return fd;
}

// Reads a record to its end; the steps read.
std::uint64_t read_to_end(quarno::FlowRecordReader& r) {
  quarno::FlowEvent event{};
  const double* values = nullptr;
  std::uint64_t steps = 0;
  for (;;) {
    const auto entry = r.next(event, values);
    if (entry == quarno::FlowRecordReader::Entry::end) return steps;
    if (entry == quarno::FlowRecordReader::Entry::step) {
      ++steps;
      if (!(values[0] > 0.0)) std::abort();  // refused when the record was opened
    }
  }
}

// The record's checksums of its header, blocks and end made again where its
// form lets them be found.
void rechecksum_record(std::string& rec) {
  const std::size_t line = rec.find("\nchecksum ");
  if (line == std::string::npos || line + 27 > rec.size()) return;
  std::uint64_t chain = XXH3_64bits(rec.data(), line + 1);
  char sum[17];
  std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(chain));
  std::memcpy(&rec[line + 10], sum, 16);
  std::size_t at = line + 27;
  while (at + quarno::kFlowBlockHeadBytes <= rec.size()) {
    std::uint32_t head[4];
    std::memcpy(head, &rec[at], sizeof head);
    if (head[0] == quarno::kFlowEndMagic) {
      if (at + quarno::kFlowEndBytes > rec.size()) return;
      chain = XXH3_64bits_withSeed(&rec[at + 16], 16, chain);
      std::memcpy(&rec[at + 32], &chain, 8);
      return;
    }
    const std::size_t start = at + quarno::kFlowBlockHeadBytes;
    if (head[2] > rec.size() - start) return;
    chain = XXH3_64bits_withSeed(&rec[start], head[2],
                                 quarno::flow_block_seed(chain, head[1], head[2], head[3]));
    std::memcpy(&rec[at + 16], &chain, 8);
    at = start + head[2];
  }
}

// The run state's checksum line made again, when its last line is one.
void rechecksum_state(std::string& text) {
  if (text.size() < 2 || text.back() != '\n') return;
  const std::size_t start = text.rfind('\n', text.size() - 2) + 1;
  if (text.compare(start, 9, "checksum,") != 0) return;
  quarno::KeyHash hash;
  hash.add(text.data(), start);
  text.replace(start, std::string::npos, "checksum," + hash.hex() + "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  const bool rechecksum = (size & 1) != 0;
  if (input.rfind("quarno flow record", 0) == 0) {
    if (rechecksum) rechecksum_record(input);
    std::string name;
    const int fd = record_file(name);
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, input.data(), size, 0) != static_cast<ssize_t>(size))
      std::abort();
    std::unique_ptr<quarno::FlowRecordReader> r;
    try {
      r = std::make_unique<quarno::FlowRecordReader>(name);
    } catch (const quarno::InputError& e) {
      check_message(e, name);
      return 0;
    }
    // A record that passed its checks is read whole, alike twice, without
    // an error: what a replay reads was all checked up front.
    const std::uint64_t steps = read_to_end(*r);
    if (steps != r->steps()) std::abort();
    r->rewind();
    if (read_to_end(*r) != steps) std::abort();
    return 0;
  }
  if (rechecksum) rechecksum_state(input);
  try {
    const quarno::SavedRunState s = quarno::parse_run_state(input, "run.state");
    if (!(s.t >= 0.0) || s.cells < 1 || s.nodes != s.cells + 1) std::abort();
  } catch (const quarno::InputError& e) {
    check_message(e, "run.state");
  }
  return 0;
}
