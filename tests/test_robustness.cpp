// Runs the real program the way a careless or hostile user would: decks that
// cannot advance or overflow, files that cannot be written, closed or broken
// standard streams, a folder already in use, huge or binary input. Every case
// must end with its own exit status and a message, never hang, never report
// success after a failure and never destroy earlier results.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"
#include "input/Reader.hpp"

namespace quarno::test {
namespace {

namespace fs = std::filesystem;

bool has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Makes `name` in the folder a device node of /dev/full (a disk that is
// always full), not a link: results are never written through links. Needs
// root; false when the node cannot be made.
bool make_full_disk(const ScratchFolder& f, const char* name) {
  const std::string path = f.dir + "/" + name;
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
}

TEST(HostileRuns, AFlowThatCannotAdvanceEndsWithStatus2) {
  // The Uvas reach example with a very rough first segment (n = 10 on the
  // first 250 m): every step of the first outer step is too small to change
  // the model time.
  const std::string dir = QUARNO_TEST_DATA "/../../examples/uvas-reach/";
  std::string param = read_file(dir + "crparam.txt");
  const std::size_t from = param.find("NRough"), to = param.find("NGW");
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
  param.replace(from, to - from, "NRough\n3\nX n\n0. 10.\n250. 0.03\n300. 0.03\n");
  ScratchFolder f(param, read_file(dir + "crbicond.txt"));
  ASSERT_EQ(f.run(), 2) << f.get("errors.txt");
  ASSERT_EQ(f.run(), 2) << f.get("errors.txt");
  EXPECT_EQ(f.get("errors.txt"),
            "warning: crparam.txt, line 20: Rough(1) = 10 lies outside the usual Manning n of "
            "0.008 to 0.3\nThe flow solution cannot advance at t = 0 s.\n");
  const std::string console = f.get("console.txt");
  EXPECT_TRUE(has(console, "Stepsize smaller than minimum.\n"));
  EXPECT_FALSE(has(console, "press ENTER"));
  EXPECT_TRUE(has(f.get("crOutput.txt"), "RESULTS"));

  // An inflow of 1e20 m3/s: the Courant step falls below the smallest step
  // of the controller, and the run would need some 1e21 outer steps.
  Reach r = small_reach();
  r.schedule = {{600.0, 1.0, 1e20, 0.0}};
  ScratchFolder g(param_text(r), bicond_text(r));
  EXPECT_EQ(g.run(), 2);
  EXPECT_EQ(g.get("errors.txt"),
            "warning: crbicond.txt, line 9: the inflow of schedule row 1 gives a mean velocity "
            "of 1e+19 m/s, over 10 m/s (discharge in L/s instead of m3/s?)\n"
            "The flow solution cannot advance at t = 0 s.\n");
  r.schedule = {{600.0, 1.0, 1e5, 0.0}};  // a large inflow that can still be run
  EXPECT_EQ(run_deck(param_text(r), bicond_text(r)).status, 0);
}

TEST(HostileRuns, ResultsThatCannotBeWrittenEndWithStatus3) {
  const Reach r = small_reach();
  for (const char* name : {"crObsNode.txt", "crOutput.txt"}) {  // a full disk under each
    ScratchFolder f(param_text(r), bicond_text(r));
    if (!make_full_disk(f, name)) {
      std::printf("(a full disk under %s not tried: no device node can be made here)\n", name);
      continue;
    }
    EXPECT_EQ(f.run(), 3);
    EXPECT_EQ(f.get("errors.txt"), std::string(name) + ": cannot write (No space left on device)\n");
  }
  {  // a file-size limit of 4 KiB: the results file reaches it first
    ScratchFolder f(param_text(r), bicond_text(r));
    EXPECT_EQ(f.sh("ulimit -f 4 && \"$Q\" </dev/null >console.txt 2>errors.txt"), 3);
    EXPECT_EQ(f.get("errors.txt"), "crOutput.txt: cannot write (File too large)\n");
    EXPECT_EQ(f.get("crOutput.txt").size(), 4096u);  // written up to the limit
  }
  {  // a limit that the flow record crosses first: the run stops at that write
    Reach big = flowing_channel(201, 4000.0, 1.0);
    big.schedule = {{3600.0, 1.0, 10.0, 0.0}};
    big.tout = {1200.0, 2400.0, 3600.0};
    ScratchFolder f(param_text(big), bicond_text(big));
    ASSERT_EQ(f.sh("\"$Q\" --no-pause </dev/null >/dev/null 2>&1"), 0);
    const std::string full = f.get("crOutput.txt");
    f.put("x.qflow", "an earlier record\n");
    EXPECT_EQ(f.sh("ulimit -f 300 && \"$Q\" --no-pause --flow-compression 0 --save-flow x.qflow "
                   "</dev/null >console.txt 2>errors.txt"),
              3);
    EXPECT_EQ(f.get("errors.txt"), f.dir + "/x.qflow: cannot write (File too large)\n");
    EXPECT_EQ(f.get("x.qflow"), "an earlier record\n");
    EXPECT_EQ(f.sh("ls -A | grep -q x.qflow."), 1) << "a temporary file is left";
    const std::string cut = f.get("crOutput.txt");  // what was written before the failed write
    EXPECT_LT(cut.size(), full.size());
    EXPECT_EQ(full.compare(0, cut.size(), cut), 0);
  }
}

TEST(HostileRuns, ClosedOrBrokenStandardStreamsNeverReachTheResults) {
  const Reach r = small_reach();
  ScratchFolder normal(param_text(r), bicond_text(r));
  ASSERT_EQ(normal.run(), 0);
  const std::string results = normal.get("crOutput.txt"), obs = normal.get("crObsNode.txt");
  ASSERT_TRUE(has(normal.get("console.txt"), "Time (sec)="));

  for (const char* shell : {"\"$Q\" </dev/null >&- 2>errors.txt",  // no standard output
                            "\"$Q\" <&- >&- 2>errors.txt",        // nor standard input
                            "\"$Q\" </dev/null 2>errors.txt | head -c 0",  // a closed pipe
                            "\"$Q\" </dev/null >/dev/full 2>errors.txt"}) {
    SCOPED_TRACE(shell);
    ScratchFolder f(param_text(r), bicond_text(r));
    EXPECT_EQ(f.sh("set -o pipefail; " + std::string(shell)), 0);
    EXPECT_EQ(f.get("crOutput.txt"), results);
    EXPECT_EQ(f.get("crObsNode.txt"), obs);
    EXPECT_EQ(f.get("errors.txt"), "");
  }
  {  // no standard error, bad deck: the message is lost, not written into a result
    ScratchFolder f(with_line(param_text(r), 3, "0 0 2"), bicond_text(r));
    EXPECT_EQ(f.sh("\"$Q\" </dev/null >console.txt 2>&-"), 1);
    EXPECT_FALSE(has(f.get("crOutput.txt"), "Nfdn"));
    EXPECT_FALSE(has(f.get("crObsNode.txt"), "Nfdn"));
  }
}

TEST(HostileRuns, NonFiniteResultsEndWithStatus2AfterTheirBlock) {
  // Widths of 1e306 overflow the storages of the water balance.
  Reach r = small_reach();
  r.width0 = r.width1 = 1e306;
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.run(), 2);
  EXPECT_EQ(f.get("errors.txt"),
            "crOutput.txt: Wini of the water balance is not finite at t = 307.8815834024863 s.\n");
  const std::string results = f.get("crOutput.txt");
  // The whole first block and its balance are kept, and nothing after them.
  EXPECT_TRUE(has(results, " Relative error(%)........ER_R=         NaN\n\n"));
  EXPECT_EQ(results.find("Time="), results.rfind("Time="));
}

TEST(HostileRuns, ASecondRunInAFolderInUseTouchesNothing) {
  const Reach r = small_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  f.put("crOutput.txt", "earlier results\n");
  f.put("crObsNode.txt", "earlier records\n");
  const int fd = ::open(f.dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);  // as a run in progress holds it
  EXPECT_EQ(f.run(), 1);
  EXPECT_EQ(f.get("errors.txt"), "another run is using this folder\n");
  EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
  EXPECT_EQ(f.get("crObsNode.txt"), "earlier records\n");
  EXPECT_EQ(f.get("console.txt"), "");
  ::close(fd);  // released: the folder can be used again
  EXPECT_EQ(f.run(), 0);
}

TEST(HostileRuns, AResultsFileThatCannotBeOpenedLeavesTheOtherUntouched) {
  const Reach r = small_reach();
  ScratchFolder f(param_text(r), bicond_text(r));
  f.put("crOutput.txt", "earlier results\n");
  fs::create_directory(fs::path(f.dir) / "crObsNode.txt");
  EXPECT_EQ(f.run(), 1);
  EXPECT_EQ(f.get("errors.txt"),
            "crObsNode.txt: cannot open the file for writing (Is a directory)\n");
  EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");

  ScratchFolder g(param_text(r), bicond_text(r));  // a results file this run would have created
  fs::create_directory(fs::path(g.dir) / "crObsNode.txt");
  EXPECT_EQ(g.run(), 1);
  EXPECT_FALSE(g.exists("crOutput.txt"));
}

TEST(HostileRuns, RefusedFilesAndSettingsTouchNoResult) {
  // Each case is refused with exit 1 and one message before any result file
  // is emptied: the earlier results stay, byte for byte, and nothing blocks
  // (every run is killed after 60 s, which would show as status 137).
  const Reach r = small_reach();
  // As root, files can be created in any folder: the read-only folder is
  // tried as an ordinary user.
  const std::string as_user =
      ::geteuid() == 0 ? "chown -R 65534:65534 . && setpriv --reuid=65534 --regid=65534 "
                         "--clear-groups "
                       : "";
  struct Case {
    const char* what;
    std::string setup;    // bash commands in the folder before the run
    std::string command;  // the run, $Q the program
    std::string message;  // standard error, whole
  };
  const std::vector<Case> cases = {
      {"an empty state file name", "", "\"$Q\" --flow-state ''",
       "quarno: --flow-state: an empty file name\nRun 'quarno --help' for the options.\n"},
      {"a FIFO as the saved state", "mkfifo pipe", "\"$Q\" --flow-state pipe",
       "DIR/pipe: cannot read the saved flow state (not a regular file)\n"},
      {"a directory as the saved state", "mkdir state", "\"$Q\" --flow-state state",
       "DIR/state: cannot read the saved flow state (not a regular file)\n"},
      {"QUARNO_THREADS not a number", "", "env QUARNO_THREADS=abc \"$Q\"",
       "quarno: QUARNO_THREADS must be a whole number from 1 to 16 (found \"abc\")\n"},
      {"a folder where the state cannot be created",
       "cp \"$Q\" quarno && chmod 0666 cr*.txt && chmod 0555 .", as_user + "./quarno --steady-flow",
       "crSteadyFlow.csv: cannot open the file for writing (Permission denied)\n"},
      {"a link planted as a results file", "echo precious >target && ln -sf target crObsNode.txt",
       "\"$Q\"",
       "crObsNode.txt: cannot open the file for writing (it is a symbolic link; results are not "
       "written through links)\n"},
      {"a FIFO as a results file", "rm crObsNode.txt && mkfifo crObsNode.txt", "\"$Q\"",
       "crObsNode.txt: cannot open the file for writing (it is not a regular file)\n"},
      // Numbers given to options are decimal numbers; dates stay within four-digit years,
      // from time 0 to the end of the schedule (600 s here).
      {"a hexadecimal thread count", "", "\"$Q\" --threads 0x2",
       "quarno: --threads: \"0x2\" is not a whole number in decimal digits\n"
       "Run 'quarno --help' for the options.\n"},
      {"a hexadecimal record interval", "", "\"$Q\" --record-interval 0x10",
       "quarno: --record-interval must be a positive number of seconds (found \"0x10\")\n"},
      {"a start in the year 0", "", "\"$Q\" --start-date 0001-01-01T00:30+01:00",
       "quarno: --start-date \"0001-01-01T00:30+01:00\" lies before 0001-01-01T00:00:00.000Z, "
       "the first date the results can hold\n"},
      {"a run that ends in the year 10000", "", "\"$Q\" --csv --start-date 9999-12-31T23:55Z",
       "quarno: --start-date: the end of the schedule (600 s) falls on 10000-01-01T00:05:00.000Z, "
       "after 9999-12-31T23:59:59.999Z, the last date the results can hold\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchFolder f(param_text(r), bicond_text(r));
    f.put("crOutput.txt", "earlier results\n");
    f.put("crObsNode.txt", "earlier records\n");
    ASSERT_EQ(f.sh(c.setup), 0);
    const int status = f.sh("timeout -s KILL 60 " + c.command +
                            " --no-pause </dev/null >console.txt 2>errors.txt");
    f.sh("chmod 0755 .");
    EXPECT_EQ(status, 1);
    std::string message = c.message;
    if (message.rfind("DIR/", 0) == 0) message.replace(0, 3, f.dir);
    EXPECT_EQ(f.get("errors.txt"), message);
    EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
    if (f.exists("target")) {
      EXPECT_EQ(f.get("target"), "precious\n");
    }
    if (!has(c.setup, "crObsNode.txt")) {
      EXPECT_EQ(f.get("crObsNode.txt"), "earlier records\n");
    }
    EXPECT_FALSE(f.exists("crSteadyFlow.csv"));
    EXPECT_EQ(f.sh("ls -A | grep -q XXX\\|crSteadyFlow.csv."), 1) << "a temporary file is left";
  }
}

// Every entry of the folder: a regular file by its bytes, any other by its
// kind; the manifest, the console's files and the script of sh() left out.
std::map<std::string, std::string> folder_contents(const ScratchFolder& f) {
  std::map<std::string, std::string> seen;
  for (const fs::directory_entry& e : fs::directory_iterator(f.dir)) {
    const std::string name = e.path().filename().string();
    if (std::string(" crManifest.json console.txt errors.txt run.sh ").find(" " + name + " ") ==
        std::string::npos)
      seen[name] = e.is_regular_file() && !e.is_symlink() ? read_file(e.path().string())
                                       : std::to_string(int(e.symlink_status().type()));
  }
  return seen;
}

TEST(HostileRuns, ASavePathNeverReplacesWhatItMustNot) {
  // A saved state or record is put in place by a rename, which would make a
  // regular file of a device or FIFO, or replace an input or a result. Each
  // such path is refused, exit 1, one line, before the run, every file left
  // as it was; so is a state file far larger than any state of the deck.
  const Reach r = small_reach();
  Reach longer = r;  // a schedule that goes on past the saved state's time
  longer.schedule.push_back({1200.0, 1.0, 12.0, 0.0});
  const std::string save = "\"$Q\" --no-pause --save-state s0 --save-flow r0 </dev/null "
                           ">/dev/null 2>&1 && cat >crbicond.txt <<'END'\n" +
                           bicond_text(longer) + "END\n";
  const std::string same = "quarno: --save-flow DIR/", state = "quarno: --save-state DIR/";
  const std::string not_regular = ": cannot open the file for writing (it is not a regular file)";
  const std::vector<std::array<std::string, 4>> cases = {  // what, setup, options, message
      {"a device node", ::geteuid() == 0 ? "mknod p c 1 3" : "", "--save-state p",
       "DIR/p" + not_regular},
      {"a FIFO as the steady flow", "mkfifo crSteadyFlow.csv", "--steady-flow",
       "crSteadyFlow.csv" + not_regular},
      {"the deck", "", "--save-flow crparam.txt",
       same + "crparam.txt: the same file as crparam.txt, which this run reads"},
      {"a hard link to the schedule", "ln crbicond.txt b", "--save-state b",
       state + "b: the same file as crbicond.txt, which this run reads"},
      {"a series file", "echo -e '[[source]]\\nname = \"t\"\\nx = 9\\nseries = \"t.csv\"' "
       ">crforcing.toml && echo -e 'time_s,discharge_m3s,load\\n0,1,3' >t.csv",
       "--save-flow t.csv", same + "t.csv: the same file as t.csv, which this run reads"},
      {"the state gone on from", save, "--initial-state s0 --save-flow s0",
       same + "s0: the same file as --initial-state, which this run reads"},
      {"a result", "", "--csv --save-state crBalance.csv",
       state + "crBalance.csv: the same file as crBalance.csv, which this run writes"},
      {"one file for both", "mkdir d", "--save-flow x --save-state d/../x",
       same + "x: the same file as --save-state, which this run writes"},
      {"a state too large", save + "head -c 20000 /dev/zero >>s0", "--initial-state s0",
       "DIR/s0: the file is far larger than any saved run state of this deck (11 nodes)"},
  };
  for (const auto& [what, setup, options, message] : cases) {
    SCOPED_TRACE(what);
    if (setup.empty() && what == "a device node") continue;  // device nodes need root
    ScratchFolder f(param_text(r), bicond_text(r));
    ASSERT_EQ(f.sh(setup + "\necho earlier >crOutput.txt"), 0);
    const std::map<std::string, std::string> before = folder_contents(f);
    EXPECT_EQ(f.sh("\"$Q\" --no-pause " + options + " </dev/null >console.txt 2>errors.txt"), 1);
    std::string expected = message + "\n";
    for (std::size_t at; (at = expected.find("DIR")) != std::string::npos;)
      expected.replace(at, 3, f.dir);
    EXPECT_EQ(f.get("errors.txt"), expected);
    EXPECT_EQ(folder_contents(f), before);
  }
  // As before, a state gone on from and a replayed record are replaced by
  // the run's own, each read before it is replaced.
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh(save), 0);
  const std::string state0 = f.get("s0");
  EXPECT_EQ(f.sh("\"$Q\" --no-pause --initial-state s0 --save-state s0 --replay-flow r0 "
                 "--save-flow r0 </dev/null >/dev/null 2>&1"), 0);
  EXPECT_NE(f.get("s0"), state0);
}

TEST(HostileRuns, TheSavedStateIsWrittenWholeThroughAFreshFileOrNotAtAll) {
  // A link planted as the state file is replaced, not written through, and
  // a FIFO named crSteadyFlow.csv.part is left alone (never opened); a state that
  // cannot be written whole (a file-size limit that the echo fits under) ends
  // the run with exit 3, one message, and no file of it left behind.
  Reach r = small_reach();
  r.Nfdn = 201;
  r.L = 4000.0;
  r.schedule = {{60.0, 1.0, 10.0, 0.0}};
  r.tout = {60.0};
  ScratchFolder f(param_text(r), bicond_text(r));
  ASSERT_EQ(f.sh("echo precious >target && ln -s target crSteadyFlow.csv && "
                 "mkfifo crSteadyFlow.csv.part"),
            0);
  ASSERT_EQ(f.sh("timeout -s KILL 120 \"$Q\" --steady-flow --no-pause </dev/null >console.txt "
                 "2>errors.txt"),
            0)
      << f.get("errors.txt");
  EXPECT_EQ(f.get("target"), "precious\n");
  EXPECT_EQ(f.sh("test -f crSteadyFlow.csv && ! test -L crSteadyFlow.csv"), 0);
  EXPECT_EQ(f.sh("test -p crSteadyFlow.csv.part"), 0);
  ASSERT_GT(f.get("crSteadyFlow.csv").size(), 8192u);

  ScratchFolder g(param_text(r), bicond_text(r));
  EXPECT_EQ(g.sh("ulimit -f 8 && \"$Q\" --steady-flow --no-pause </dev/null >console.txt "
                 "2>errors.txt"),
            3);
  EXPECT_EQ(g.get("errors.txt"), "crSteadyFlow.csv: cannot write (File too large)\n");
  EXPECT_TRUE(has(g.get("crOutput.txt"), "RESULTS"));  // the echo fitted under the limit
  EXPECT_LT(g.get("crOutput.txt").size(), 4096u);
  EXPECT_EQ(g.sh("ls -A | grep -q crSteadyFlow"), 1) << "a file of the state is left";
}

TEST(HostileRuns, ASignalEndsAWaitForAnInputFileWithItsStatus) {
  // crparam.txt is a FIFO that nothing writes to: the run waits for it until
  // SIGTERM, then ends with 143, touching no result.
  const Reach r = small_reach();
  ScratchFolder f("", bicond_text(r));
  f.put("crOutput.txt", "earlier results\n");
  ASSERT_EQ(f.sh("mkfifo crparam.txt"), 0);
  // The run is signalled once it waits in the open of the FIFO (the kernel
  // names the wait), or after 10 s.
  EXPECT_EQ(f.sh("\"$Q\" --no-pause </dev/null >console.txt 2>errors.txt & pid=$!; "
                 "for k in $(seq 100); do grep -q partner /proc/$pid/wchan 2>/dev/null && break; "
                 "sleep 0.1; done; kill -TERM $pid; wait $pid"),
            143);
  EXPECT_EQ(f.get("errors.txt"), "");
  EXPECT_EQ(f.get("crOutput.txt"), "earlier results\n");
}

TEST(HostileInput, TimesBeyondSinglePrecisionAreRejected) {
  Reach r = small_reach();
  r.schedule = {{600.0, 1.0, 10.0, 0.0}, {1e39, 1.0, 10.0, 0.0}};
  RunResult run = run_deck(param_text(r), bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "crbicond.txt, line 10: TBC(2) must lie within +-3.4028235e+38 s, the range of times "
            "in single precision (found 1e+39)\n");

  r = small_reach();
  r.tout = {300.0, -1e39};
  run = run_deck(param_text(r), bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(has(run.errors, "crbicond.txt, line 13: TOut(2) must lie within")) << run.errors;

  r.tout = {300.0, 3e38};  // the largest times still pass
  EXPECT_EQ(run_deck(param_text(r), bicond_text(r)).status, 0);
}

TEST(HostileInput, MappedTablesMustStayPositive) {
  // A width table from X = 500 m, widening to 100 m at 1000 m, extrapolates
  // to -76 m at X = 0.
  const Reach r = small_reach();
  std::string param = with_line(param_text(r), 9, "500. 12.");
  param = with_line(param, 10, "1000. 100.");
  const RunResult run = run_deck(param, bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "crparam.txt: the Width table mapped onto the grid must be positive everywhere, but "
            "gives -76 at X = 0 m\n");
  EXPECT_TRUE(has(run.results, "RESULTS"));  // the echo is kept
  EXPECT_EQ(run.console, "");
}

TEST(HostileInput, HugeFilesAreRejectedUnread) {
  const Reach r = small_reach();
  std::string param = param_text(r);
  param += std::string(Reader::kMaxFileSize - param.size(), '\n');
  EXPECT_EQ(run_deck(param, bicond_text(r)).status, 0);  // 16 MiB of blank lines at the end
  param += "\n";
  const RunResult run = run_deck(param, bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors,
            "crparam.txt: the file is larger than 16 MiB, far larger than any input deck\n");
}

TEST(HostileInput, QuotedTextShowsControlBytesAndIsCut) {
  EXPECT_EQ(quote_input("abc"), "\"abc\"");
  EXPECT_EQ(quote_input(std::string("1\0x", 3)), "\"1\\x00x\"");
  EXPECT_EQ(quote_input("\x1b[2J\xff"), "\"\\x1B[2J\\xFF\"");
  EXPECT_EQ(quote_input(std::string(40, '7')), "\"" + std::string(40, '7') + "\"");
  EXPECT_EQ(quote_input(std::string(41, '7')), "\"" + std::string(37, '7') + "...\"");
  // An escape is never cut in two.
  EXPECT_EQ(quote_input(std::string(35, '7') + "\x01\x02"), "\"" + std::string(35, '7') + "...\"");

  // Through the program: a 200,000-digit value with an escape sequence.
  const Reach r = small_reach();
  const std::string value = "\x1b[31m" + std::string(200000, '9');
  const RunResult run = run_deck(with_line(param_text(r), 3, "0 0 " + value), bicond_text(r));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "crparam.txt, line 3: expected an integer for Nfdn, found \"\\x1B[31m" +
                            std::string(29, '9') + "...\"\n");
}

}  // namespace
}  // namespace quarno::test
