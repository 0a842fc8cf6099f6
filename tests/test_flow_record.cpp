// Flow records (--save-flow, --replay-flow): a record that cannot be used is
// refused before any result file is touched, one recorded for another flow
// is passed over with a note, and a link of a chained run replays its own
// flow.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <vector>
#include <string>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "input/FlowRecordFile.hpp"

namespace quarno::test {
namespace {

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Transport on a loaded bed under a flood wave; two schedule rows.
Reach flood_with_transport() {
  Reach r = flowing_channel(21, 1000.0, 0.97);
  r.NTr = 1;
  r.aL = 3.0;
  r.Re = 1e-4;
  r.TauCR = 4.0;
  r.Vs = 1e-4;
  r.Alfa = 1e-4;
  r.Cb = 1e3;
  r.C = 1.0;
  r.schedule = {{600.0, 0.97, 10.0, 1.0}, {1200.0, 1.5, 30.0, 5.0}};
  r.tout = {600.0, 1200.0};
  r.xobs = {500.0};
  return r;
}

std::string flipped(std::string text, std::size_t at) {
  text[at] = static_cast<char>(text[at] ^ 0x10);
  return text;
}

// The record with the checksums of its header, blocks and end made again, as
// the writer makes them: a record changed on purpose that passes every check
// of form.
std::string with_checksums(std::string rec) {
  const std::size_t line = rec.find("\nchecksum ") + 1;
  std::size_t at = rec.find('\n', line) + 1;
  std::uint64_t chain = XXH3_64bits(rec.data(), line);
  for (;;) {
    std::uint32_t head[4];
    std::memcpy(head, &rec[at], sizeof head);
    if (head[0] == kFlowEndMagic) break;
    chain = XXH3_64bits_withSeed(&rec[at + kFlowBlockHeadBytes], head[2],
                                 flow_block_seed(chain, head[1], head[2], head[3]));
    std::memcpy(&rec[at + 16], &chain, 8);
    at += kFlowBlockHeadBytes + head[2];
  }
  chain = XXH3_64bits_withSeed(&rec[at + 16], 16, chain);
  std::memcpy(&rec[at + 32], &chain, 8);
  return rec;
}

const char* const kResults[] = {"crOutput.txt", "crObsNode.txt", "crObsNode.csv",
                                "crProfiles.csv", "crBalance.csv", "out.txt"};

TEST(FlowRecord, ARecordThatCannotBeUsedIsRefusedAndNoResultIsTouched) {
  const Reach r = flood_with_transport();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --save-flow good.qflow </dev/null >/dev/null 2>&1"), 0);
  const std::string good = f.get("good.qflow");
  const std::size_t size = good.size(), header = good.find("\nchecksum ");
  ASSERT_GT(size, 1000u);
  std::string version2 = good;
  version2.replace(good.find("version 1"), 9, "version 2");
  f.sh("mkdir folder; mkfifo fifo");
  const struct Case {
    const char* what;
    std::string record;  // written to x.qflow when not empty
    const char* file;
    const char* options;
    const char* message;
  } cases[] = {
      {"a flipped byte in the header", flipped(good, header - 3), "x.qflow", "", "damaged"},
      {"a flipped byte in a block", flipped(good, size / 2), "x.qflow", "",
       "damaged (the checksum of block 1)"},
      {"a flipped byte at the end", flipped(good, size - 3), "x.qflow", "", "damaged (its end)"},
      {"cut in a block", good.substr(0, size / 2), "x.qflow", "", "cut short"},
      {"cut before its end", good.substr(0, size - 40), "x.qflow", "", "cut short"},
      {"a byte after its end", good + "x", "x.qflow", "", "bytes after its end"},
      {"another version", version2, "x.qflow", "", "version '2'; this program reads version 1"},
      {"not a record", "quarno saved run state, version 1\n", "x.qflow", "", "not a flow record"},
      {"no file", "", "none.qflow", "", "cannot read the flow record (No such file"},
      {"a folder", "", "folder", "", "not a regular file"},
      {"a FIFO", "", "fifo", "", "not a regular file"},
      {"a frozen flow", good, "x.qflow", "--steady-flow", "has no flow to record or replay"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    f.sh("rm -f x.qflow crObsNode.txt");
    if (!c.record.empty()) f.put("x.qflow", c.record);
    f.put("crOutput.txt", "earlier results\n");
    EXPECT_EQ(f.sh(std::string("\"$Q\" --no-pause --replay-flow ") + c.file + " " + c.options +
                   " </dev/null >out.txt 2>err.txt"),
              1);
    const std::string errors = f.get("err.txt");
    EXPECT_TRUE(has(errors, c.message)) << errors;
    EXPECT_TRUE(has(errors, c.file) || has(errors, "--replay-flow")) << errors;
    EXPECT_EQ(lines_of(errors).size(), 1u) << errors;
    EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
    EXPECT_FALSE(f.exists("crObsNode.txt"));
  }
  // Records changed on purpose, their checksums made again: the replay stops
  // where it meets what it cannot decode (exit 1), reading nothing outside
  // its buffers.
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --flow-compression 0 --save-flow raw.qflow </dev/null "
                 ">/dev/null 2>&1"), 0);
  const std::string raw = f.get("raw.qflow");
  const std::size_t first = raw.find('\n', raw.find("\nchecksum ") + 1) + 1;
  std::string bad_tag = raw, short_block = raw;
  bad_tag[first + kFlowBlockHeadBytes] = 'X';
  short_block.erase(first + kFlowBlockHeadBytes + 100, 8);  // the first step loses 8 bytes
  std::uint32_t sizes[2];
  std::memcpy(sizes, &short_block[first + 4], 8);
  sizes[0] -= 8;
  sizes[1] -= 8;
  std::memcpy(&short_block[first + 4], sizes, 8);
  for (const std::string& forged : {with_checksums(bad_tag), with_checksums(short_block)}) {
    f.put("x.qflow", forged);
    EXPECT_EQ(f.sh("\"$Q\" --no-pause --replay-flow x.qflow </dev/null >out.txt 2>err.txt"), 1);
    EXPECT_TRUE(has(f.get("err.txt"), "x.qflow: the flow record is damaged (block 1 cannot be "
                                      "read)")) << f.get("err.txt");
  }
  // A run that fails records nothing.
  f.put("crbicond.txt", with_line(bicond_text(r), 2, "  1"));
  EXPECT_EQ(f.sh("\"$Q\" --no-pause --save-flow failed.qflow </dev/null >/dev/null 2>&1"), 1);
  EXPECT_FALSE(f.exists("failed.qflow"));
}

// Where the outer steps of an uncompressed record lie: the offset of each
// step's values, the offset of the last block's head and the values a step
// holds.
struct RecordLayout {
  std::vector<std::size_t> steps;
  std::size_t last_block = 0;
  std::size_t values = 0;
};
RecordLayout layout_of(const std::string& rec) {
  RecordLayout l;
  const int M = std::stoi(rec.substr(rec.find("\ncells ") + 7));
  l.values = flow_step_values(M);
  std::size_t at = rec.find('\n', rec.find("\nchecksum ") + 1) + 1;
  for (;;) {
    std::uint32_t head[4];
    std::memcpy(head, &rec[at], sizeof head);
    if (head[0] == kFlowEndMagic) return l;
    l.last_block = at;
    for (std::size_t e = at + kFlowBlockHeadBytes; e < at + kFlowBlockHeadBytes + head[1];)
      if (rec[e] == 'E') {
        e += 2;
      } else {
        l.steps.push_back(e + 1);
        e += 1 + 8 * l.values;
      }
    at += kFlowBlockHeadBytes + head[2];
  }
}

// The record with value `i` of outer step `k` (1-based) set to v.
std::string with_value(std::string rec, const RecordLayout& l, std::size_t k, std::size_t i,
                       double v) {
  std::memcpy(&rec[l.steps[k - 1] + 8 * i], &v, 8);
  return rec;
}

// The record with `entry` put into its last block at `at` (or, when entry is
// empty, the last outer step taken out), the block's head and the end's
// count of steps following.
std::string with_last_step(std::string rec, const RecordLayout& l, const std::string& entry) {
  const std::size_t bytes = 1 + 8 * l.values;
  const std::size_t end = rec.size() - kFlowEndBytes;
  const std::int64_t change = entry.empty() ? -1 : 1;
  if (entry.empty())
    rec.erase(l.steps.back() - 1, bytes);
  else
    rec.insert(end, entry);
  std::uint32_t head[4];
  std::memcpy(head, &rec[l.last_block], sizeof head);
  head[1] += static_cast<std::uint32_t>(change * static_cast<std::int64_t>(bytes));
  head[2] = head[1];
  head[3] += static_cast<std::uint32_t>(change);
  std::memcpy(&rec[l.last_block], head, sizeof head);
  std::uint64_t steps;
  std::memcpy(&steps, &rec[rec.size() - kFlowEndBytes + 16], 8);
  steps += static_cast<std::uint64_t>(change);
  std::memcpy(&rec[rec.size() - kFlowEndBytes + 16], &steps, 8);
  return rec;
}

TEST(FlowRecord, ARecordRewrittenWithValidChecksumsReplaysOnlyAFlowThatCanBe) {
  const Reach r = flood_with_transport();
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh("\"$Q\" --no-pause --flow-compression 0 --save-flow raw.qflow </dev/null "
                 ">/dev/null 2>&1"), 0);
  const std::string raw = f.get("raw.qflow"), full_obs = f.get("crObsNode.txt");
  const RecordLayout l = layout_of(raw);
  ASSERT_GT(l.steps.size(), 20u);
  const std::string obs_head = full_obs.substr(0, full_obs.find('\n', full_obs.find("   Time")) + 1);
  ASSERT_LT(obs_head.size(), full_obs.size());
  const std::size_t M = (l.values - 3) / 2;
  double dt10;
  std::memcpy(&dt10, &raw[l.steps[9]], 8);
  std::string more_events = raw;
  more_events[more_events.size() - kFlowEndBytes + 24] += 1;
  const std::string last_entry = raw.substr(l.steps.back() - 1, 1 + 8 * l.values);
  const struct Case {
    const char* what;
    std::string record;
    bool up_front;  // refused before any result file is opened
    const char* message;
  } cases[] = {
      {"a depth below zero", with_value(raw, l, 3, 3 + 1, -0.05), true,
       "holds an impossible flow (outer step 3: the depth in cell 2 is -0.05 m)"},
      {"a discharge not a number", with_value(raw, l, 5, 3 + M, std::nan("")), true,
       "(outer step 5: the discharge in cell 1 is"},
      {"a step of zero", with_value(raw, l, 2, 0, 0.0), true, "(outer step 2: its length is 0 s)"},
      {"an event the blocks do not hold", more_events, true, "damaged (its end counts"},
      {"a step twice as long", with_value(raw, l, 10, 0, 2 * dt10), false,
       "does not follow this run (at t = "},
      {"a step after the run's end", with_last_step(raw, l, last_entry), false,
       "goes on after this run ends at t = 1200 s"},
      {"the last step taken out", with_last_step(raw, l, ""), false,
       "before this run does"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string forged = with_checksums(c.record);
    f.put("x.qflow", forged);
    f.put("crOutput.txt", "earlier results\n");
    f.sh("rm -f crObsNode.txt");
    EXPECT_EQ(f.sh("\"$Q\" --no-pause --replay-flow x.qflow </dev/null >out.txt 2>err.txt"), 1);
    const std::string errors = f.get("err.txt");
    EXPECT_TRUE(has(errors, "x.qflow: ") && has(errors, c.message)) << errors;
    EXPECT_EQ(lines_of(errors).size(), 1u) << errors;
    EXPECT_EQ(f.get("x.qflow"), forged);
    if (c.up_front) {
      EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
      EXPECT_FALSE(f.exists("crObsNode.txt"));
    } else {
      // Refused before the first outer step: the site file has its head only.
      EXPECT_EQ(f.get("crObsNode.txt"), obs_head);
    }
  }
}

TEST(FlowRecord, AnotherFlowsRecordIsSolvedAgainAndAChainedLinkReplaysItsOwn) {
  Reach r = flood_with_transport(), wider = r, first = r, cleaner = r;
  wider.width1 = 12.0;
  first.schedule.resize(1);
  first.tout.resize(1);
  cleaner.Re = 3e-4;  // another transport parameter, the same flow
  ScratchFolder f("", "");
  f.sh("mkdir full other link replay");
  const std::pair<const char*, Reach> decks[] = {
      {"full", cleaner}, {"other", wider}, {"link", cleaner}, {"replay", cleaner}};
  for (const auto& [dir, deck] : decks) {
    f.put(std::string(dir) + "/crparam.txt", param_text(deck));
    f.put(std::string(dir) + "/crbicond.txt", bicond_text(deck));
  }
  f.put("crparam.txt", param_text(first));
  f.put("crbicond.txt", bicond_text(first));
  auto run = [&](const std::string& dir, const std::string& options) {
    return f.sh("cd " + dir + " && \"$Q\" --no-pause --csv " + options +
                " </dev/null >out.txt 2>err.txt");
  };
  ASSERT_EQ(run(".", "--save-state first.state"), 0);
  ASSERT_EQ(run("other", "--save-flow ../wider.qflow"), 0);
  ASSERT_EQ(run("full", "--initial-state ../first.state"), 0) << f.get("full/err.txt");

  // The wider channel's record does not fit: a note, the flow solved and
  // recorded; the new record then replays without a note.
  ASSERT_EQ(run("link", "--initial-state ../first.state --replay-flow ../wider.qflow "
                        "--save-flow ../link.qflow"), 0);
  EXPECT_TRUE(has(f.get("link/err.txt"), "note: ")) << f.get("link/err.txt");
  EXPECT_TRUE(has(f.get("link/err.txt"), "wider.qflow records the flow of another set-up"));
  ASSERT_EQ(run("replay", "--initial-state ../first.state --replay-flow ../link.qflow"), 0);
  EXPECT_EQ(f.get("replay/err.txt"), "");
  for (const char* file : kResults) {
    EXPECT_EQ(f.get(std::string("link/") + file), f.get(std::string("full/") + file)) << file;
    EXPECT_EQ(f.get(std::string("replay/") + file), f.get(std::string("full/") + file)) << file;
  }
  // Replayed from the start instead of the saved state, the link's record
  // does not fit either.
  ASSERT_EQ(run("replay", "--replay-flow ../link.qflow"), 0);
  EXPECT_TRUE(has(f.get("replay/err.txt"), "link.qflow records the flow of another set-up"));
}

}  // namespace
}  // namespace quarno::test
