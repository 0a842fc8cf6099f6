// Properties of a whole run: nothing is allocated once the time loop runs,
// and an interrupted run ends with its own exit status and intact files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "input/Deck.hpp"
#include "run/KernelViews.hpp"
#include "run/Setup.hpp"
#include "run/FlowReplay.hpp"
#include "run/TimeLoop.hpp"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Counting global allocation; the pair stays malloc/free throughout.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace quarno::test {
namespace {

TEST(Runtime, TheTimeLoopAllocatesNothing) {
  // Transport on, observation records, profiles and balances all exercised;
  // the flow solved, solved and recorded, and replayed from that record.
  Reach r = flowing_channel(51, 1000.0, 1.0);
  r.NTr = 1;
  r.aL = 5.0;
  r.Alfa = 1e-3;
  r.schedule = {{300.0, 1.0, 10.0, 1.0}, {900.0, 1.0, 20.0, 0.0}};
  r.tout = {200.0, 600.0, 900.0};
  r.xobs = {0.0, 500.0, 1000.0};
  char tmpl[] = "/tmp/quarno-alloc-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string record = std::string(tmpl) + "/flow.qflow";
  std::unique_ptr<FlowRecordReader> reader;
  std::string recorded_obs;
  for (const char* mode : {"solved", "recorded", "replayed"}) {
    SCOPED_TRACE(mode);
    auto m = std::make_unique<Model>();
    Reader param = Reader::from_text("crparam.txt", param_text(r));
    Reader bicond = Reader::from_text("crbicond.txt", bicond_text(r));
    std::string results, obs, console;
    Outputs out{TextOut(nullptr), TextOut(nullptr), TextOut(nullptr)};
    results.reserve(1 << 20);
    obs.reserve(1 << 20);
    console.reserve(1 << 16);
    out.results.capture_to(&results);
    out.obs.capture_to(&obs);
    out.console.capture_to(&console);
    const long at_start = g_allocations.load();
    read_deck(*m, param, bicond, out);
    build_grid(*m);
    locate_observations(*m);
    map_tables(*m);
    initial_state(*m);
    record_initial_storages(balance_view(*m), m->bal);
    FlowRecording flow;
    if (std::string(mode) == "recorded") flow.save_path = record;
    if (std::string(mode) == "replayed") {
      reader = std::make_unique<FlowRecordReader>(record);
      flow.replay_from = reader.get();
    }
    FlowSource source(*m, out, flow);

    const long before = g_allocations.load();
    ASSERT_GT(before, at_start) << "the allocation counter does not count";
    run_schedule(*m, out, source);
    const long during = g_allocations.load() - before;
    EXPECT_EQ(during, 0);
    EXPECT_EQ(values_after(results, "Time=").size(), 3u);
    EXPECT_GT(values_after(console, "Time (sec)=").size(), 10u);
    EXPECT_EQ(source.kind() == FlowSource::Kind::replayed, reader != nullptr);
    source.commit();
    if (reader) {
      EXPECT_EQ(obs, recorded_obs);
    }
    recorded_obs = obs;
  }
  std::filesystem::remove_all(tmpl);
}

TEST(Runtime, SigtermEndsTheRunWithStatus143AndIntactFiles) {
  // A long run: ten days of a 1001-node reach, with a record every minute.
  Reach r = flowing_channel(1001, 10000.0, 1.0);
  r.schedule = {{864000.0, 1.0, 10.0, 0.0}};
  r.tout = {864000.0};
  r.xobs = {5000.0};
  char tmpl[] = "/tmp/quarno-signal-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  std::ofstream(dir / "crparam.txt") << param_text(r);
  std::ofstream(dir / "crbicond.txt") << bicond_text(r);

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(99);
    if (!freopen("/dev/null", "r", stdin) || !freopen("console.txt", "w", stdout)) _exit(99);
    execl(QUARNO_EXE, QUARNO_EXE, static_cast<char*>(nullptr));
    _exit(98);
  }
  // Wait until the first observation rows are out, then interrupt. However
  // slow the machine, the rows come; only ctest's timeout bounds the wait. A
  // run that ends before then is a failure.
  const auto obs_path = dir / "crObsNode.txt";
  int raw = 0;
  for (;;) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(obs_path, ec);
    if (!ec && size > 2000) break;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    ASSERT_EQ(done, 0) << "the run ended before writing 2000 bytes of observations (status "
                       << (WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw)) << ", "
                       << (ec ? 0 : size) << " bytes)";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 143);
  const std::string obs = read_file(obs_path.string());
  const std::string results = read_file((dir / "crOutput.txt").string());
  EXPECT_GT(obs.size(), 2000u);
  EXPECT_EQ(obs.back(), '\n');  // whole rows only
  EXPECT_NE(results.find("          RESULTS\n"), std::string::npos);
  EXPECT_EQ(read_file((dir / "console.txt").string()).find("press ENTER"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quarno::test
