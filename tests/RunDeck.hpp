// Runs the real program on an input deck in a scratch directory and collects
// what it wrote.
#pragma once

#include <string>

namespace quarno::test {

struct RunResult {
  int status = -1;      // exit status
  std::string console;  // standard output
  std::string errors;   // standard error
  std::string results;  // crOutput.txt
  std::string obs;      // crObsNode.txt
};

// Runs build/quarno with standard input from /dev/null in a fresh directory
// holding the two input files. An input given as nullptr is left out. With a
// limit, the program is killed after `limit_seconds` of wall-clock time, to
// catch a hang: a killed run has status 137 (128 + SIGKILL).
RunResult run_deck(const char* param, const char* bicond, const std::string& existing_output = {},
                   int limit_seconds = 0, const std::string& options = {});
inline RunResult run_deck(const std::string& param, const std::string& bicond) {
  return run_deck(param.c_str(), bicond.c_str());
}
// The same with command-line options, e.g. "--lift-capacities".
inline RunResult run_deck_with(const std::string& options, const std::string& param,
                               const std::string& bicond) {
  return run_deck(param.c_str(), bicond.c_str(), {}, 0, options);
}
inline RunResult run_deck_limited(const std::string& param, const std::string& bicond,
                                  int limit_seconds) {
  return run_deck(param.c_str(), bicond.c_str(), {}, limit_seconds);
}

std::string read_file(const std::string& path);

// A scratch folder holding a deck (either file may be left out with an empty
// text), removed afterwards.
struct ScratchFolder {
  std::string dir;
  ScratchFolder(const std::string& param, const std::string& bicond);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  void put(const std::string& name, const std::string& text) const;
  std::string get(const std::string& name) const;
  bool exists(const std::string& name) const;
  // Runs the bash commands `shell` in the folder, with $Q the program; the
  // exit status of the last command.
  int sh(const std::string& shell) const;
  // The program with no options, input from /dev/null, standard output and
  // error into console.txt and errors.txt.
  int run() const { return sh("\"$Q\" </dev/null >console.txt 2>errors.txt"); }
};

// The text with its 1-based line `line` replaced by `text`.
std::string with_line(const std::string& deck, int line, const std::string& text);

// Lines 1..n of a text (each with its line end).
std::string first_lines(const std::string& text, int n);

}  // namespace quarno::test
