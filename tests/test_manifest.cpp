// The run manifest crManifest.json that every run leaves in its folder: how
// the run ended and every file it wrote, each with the size and XXH64 it has
// on disk, for runs that finish, are refused, fail or are interrupted.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Decks.hpp"
#include "RunDeck.hpp"

namespace quarno::test {
namespace {

namespace fs = std::filesystem;

struct Listed {
  std::string name;
  unsigned long long bytes;
  std::string xxh64;
};

// The member `key` of the manifest, as written (a string without its quotes).
std::string member(const std::string& json, const std::string& key) {
  std::smatch m;
  const std::regex re("\n  \"" + key + "\": (\"((?:[^\"\\\\]|\\\\.)*)\"|\\[.*\\]|[^,\n]+)");
  if (!std::regex_search(json, m, re)) return "<missing>";
  if (!m[2].matched) return m[1].str();
  const std::string quoted = m[2].str();
  std::string text;  // the string with its escapes undone
  for (std::size_t k = 0; k < quoted.size(); ++k) {
    if (quoted[k] == '\\' && ++k < quoted.size()) text += quoted[k] == 'n' ? '\n' : quoted[k];
    else text += quoted[k];
  }
  return text;
}

std::vector<Listed> listed_files(const std::string& json) {
  std::vector<Listed> files;
  const std::regex re(R"re(\{"name": "([^"]+)", "bytes": (\d+), "xxh64": "([0-9a-f]{16})"\})re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), re); it != std::sregex_iterator();
       ++it)
    files.push_back({(*it)[1], std::stoull((*it)[2]), (*it)[3]});
  return files;
}

std::string xxh64_of(const std::string& bytes) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(XXH64(bytes.data(), bytes.size(), 0)));
  return hex;
}

// The files of a folder that the run may have written: all but the inputs,
// the test's own script and captures, and the manifest.
std::set<std::string> written_on_disk(const std::string& dir) {
  static const std::set<std::string> kNotWritten = {
      "crparam.txt", "crbicond.txt", "crforcing.toml", "run.sh", "console.txt", "errors.txt",
      "crManifest.json"};
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && kNotWritten.count(e.path().filename().string()) == 0)
      names.insert(e.path().filename().string());
  return names;
}

TEST(RunManifest, TellsHowEachRunEndedAndListsWhatItWrote) {
  Reach slow = small_reach();  // a run of some seconds, to be interrupted
  slow.Nfdn = 401;
  slow.L = 4000.0;
  slow.schedule = {{864000.0, 1.0, 10.0, 0.0}};
  slow.tout = {864000.0};
  struct Case {
    const char* what;
    std::string param;    // the deck's crparam.txt; empty: the small reach's
    std::string setup;    // bash commands in the scratch folder before the run
    std::string options;  // of the run, in the scratch folder's "run" folder
    std::string after;    // bash commands after the run's (e.g. "&"), or empty
    int status;
    const char* state;
    std::vector<std::string> files;  // listed, in order ("@" is the scratch folder)
    const char* start_date = "null";  // the manifest's start_date and concentration_unit
    const char* unit = "null";
  };
  const std::string quiet = " --no-pause --quiet";
  const std::vector<Case> cases = {
      {"no options", "", "", "", "", 0, "finished", {"crOutput.txt", "crObsNode.txt"}},
      {"CSV results and a state saved elsewhere", "", "", " --csv --save-state ../state.txt", "",
       0, "finished",
       {"crOutput.txt", "crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv",
        "@/state.txt"}},
      {"a steady flow", "", "", " --csv --steady-flow", "", 0, "finished",
       {"crOutput.txt", "crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv",
        "crSteadyFlow.csv"}},
      {"a refused saved state", "", "", " --flow-state missing.csv", "", 1, "failed", {}},
      {"a refused deck", with_line(param_text(small_reach()), 3, "eleven"), "", "", "", 1,
       "failed", {"crOutput.txt", "crObsNode.txt"}},
      {"a second run replaces the first's manifest", "", "(cd run && \"$Q\" --csv --no-pause "
       ">/dev/null)", "", "", 0, "finished", {"crOutput.txt", "crObsNode.txt"}},
      {"a start date given by the option", "", "", " --start-date 2024-06-01T12:00+01:00", "", 0,
       "finished", {"crOutput.txt", "crObsNode.txt"}, "2024-06-01T11:00:00.000Z"},
      {"a start date and a unit given by the forcing file", "",
       "printf '[deck]\\nstart_date = 2024-06-01\\nconcentration_unit = \"MPN / 100mL\"\\n' "
       ">run/crforcing.toml",
       "", "", 0, "finished", {"crOutput.txt", "crObsNode.txt"}, "2024-06-01T00:00:00.000Z",
       "MPN/100 mL"},
      {"SIGTERM", param_text(slow), "", " --csv", " & pid=$!; sleep 1; kill -TERM $pid; wait $pid",
       143, "interrupted",
       {"crOutput.txt", "crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool interrupted = c.status == 143;
    ScratchFolder f("", "");
    ASSERT_EQ(f.sh("mkdir run"), 0);
    f.put("run/crparam.txt", c.param.empty() ? param_text(small_reach()) : c.param);
    f.put("run/crbicond.txt", bicond_text(interrupted ? slow : small_reach()));
    if (!c.setup.empty()) {
      ASSERT_EQ(f.sh(c.setup), 0);
    }
    const std::string args = quiet + c.options;
    ASSERT_EQ(f.sh("cd run || exit 99; \"$Q\"" + args + " >console.txt 2>errors.txt" + c.after), c.status)
        << f.get("run/errors.txt");
    const std::string json = f.get("run/crManifest.json");
    EXPECT_EQ(member(json, "format"), "quarno run manifest, version 1");
    EXPECT_EQ(member(json, "state"), c.state);
    EXPECT_EQ(member(json, "exit_status"), std::to_string(c.status));
    const std::string errors = f.get("run/errors.txt");
    EXPECT_EQ(member(json, "message") + (errors.empty() ? "" : "\n"), errors);
    EXPECT_EQ(member(json, "start_date"), c.start_date);
    EXPECT_EQ(member(json, "concentration_unit"), c.unit);
    EXPECT_LT(json.find("\"message\""), json.find("\"start_date\""));
    EXPECT_LT(json.find("\"concentration_unit\""), json.find("\"files\""));
    EXPECT_EQ(member(json, "folder"), fs::canonical(f.dir + "/run").string());
    std::string arguments;
    for (std::size_t p = 1, q; p < args.size(); p = q + 1) {
      q = args.find(' ', p);
      if (q == std::string::npos) q = args.size();
      arguments += (arguments.empty() ? "\"" : ", \"") + args.substr(p, q - p) + "\"";
    }
    EXPECT_EQ(member(json, "arguments"), "[" + arguments + "]");
    const std::regex instant(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    EXPECT_TRUE(std::regex_match(member(json, "started"), instant)) << json;
    EXPECT_TRUE(std::regex_match(member(json, "ended"), instant)) << json;

    std::vector<std::string> names;
    for (const Listed& l : listed_files(json)) {
      names.push_back(l.name);
      const std::string path = l.name[0] == '/' ? l.name : f.dir + "/run/" + l.name;
      const std::string bytes = read_file(path);
      EXPECT_EQ(l.bytes, bytes.size()) << l.name;
      EXPECT_EQ(l.xxh64, xxh64_of(bytes)) << l.name;
    }
    std::vector<std::string> expected;
    for (const std::string& name : c.files)
      expected.push_back(name[0] == '@' ? fs::canonical(f.dir).string() + name.substr(1) : name);
    EXPECT_EQ(names, expected) << json;
    // Every file the run wrote in its folder is listed; a file of an earlier
    // run (the CSV results of the first of two) is not.
    std::set<std::string> listed_here;
    for (const std::string& n : names)
      if (n[0] != '/') listed_here.insert(n);
    std::set<std::string> on_disk = written_on_disk(f.dir + "/run");
    if (std::string(c.what).find("second run") != std::string::npos) {
      EXPECT_EQ(on_disk.count("crObsNode.csv"), 1u);
      on_disk.erase("crObsNode.csv");
      on_disk.erase("crProfiles.csv");
      on_disk.erase("crBalance.csv");
    }
    EXPECT_EQ(listed_here, on_disk);
  }
}

TEST(RunManifest, NotWrittenWithoutARun) {
  // --help, --version, --describe and a missing folder run nothing.
  ScratchFolder f(param_text(small_reach()), bicond_text(small_reach()));
  EXPECT_EQ(f.sh("\"$Q\" --help >/dev/null && \"$Q\" --version >/dev/null && "
                 "\"$Q\" --describe >/dev/null"),
            0);
  EXPECT_EQ(f.sh("\"$Q\" no-such-folder 2>/dev/null"), 1);
  EXPECT_FALSE(f.exists("crManifest.json"));
}

}  // namespace
}  // namespace quarno::test
