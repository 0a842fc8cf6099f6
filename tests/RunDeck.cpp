#include "RunDeck.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quarno::test {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {
void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}
}  // namespace

RunResult run_deck(const char* param, const char* bicond, const std::string& existing_output,
                   int limit_seconds, const std::string& options) {
  char tmpl[] = "/tmp/quarno-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a scratch directory");
  const fs::path dir = tmpl;
  if (param) write_file(dir / "crparam.txt", param);
  if (bicond) write_file(dir / "crbicond.txt", bicond);
  if (!existing_output.empty()) {
    write_file(dir / "crOutput.txt", existing_output);
    write_file(dir / "crObsNode.txt", existing_output);
  }
  const std::string limit =
      limit_seconds > 0 ? "timeout -s KILL " + std::to_string(limit_seconds) + " " : "";
  const std::string cmd = "cd '" + dir.string() + "' && " + limit + "'" QUARNO_EXE "' " +
                          options + " </dev/null >console.txt 2>errors.txt";
  const int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.console = read_file((dir / "console.txt").string());
  r.errors = read_file((dir / "errors.txt").string());
  r.results = read_file((dir / "crOutput.txt").string());
  r.obs = read_file((dir / "crObsNode.txt").string());
  fs::remove_all(dir);
  return r;
}

ScratchFolder::ScratchFolder(const std::string& param, const std::string& bicond) {
  char tmpl[] = "/tmp/quarno-folder-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a scratch directory");
  dir = tmpl;
  if (!param.empty()) put("crparam.txt", param);
  if (!bicond.empty()) put("crbicond.txt", bicond);
}

ScratchFolder::~ScratchFolder() { fs::remove_all(dir); }

void ScratchFolder::put(const std::string& name, const std::string& text) const {
  write_file(fs::path(dir) / name, text);
}

std::string ScratchFolder::get(const std::string& name) const {
  return read_file((fs::path(dir) / name).string());
}

bool ScratchFolder::exists(const std::string& name) const {
  return fs::exists(fs::symlink_status(fs::path(dir) / name));
}

int ScratchFolder::sh(const std::string& shell) const {
  put("run.sh", "Q='" QUARNO_EXE "'\n" + shell + "\n");
  const std::string cmd = "cd '" + dir + "' && bash run.sh";
  const int raw = std::system(cmd.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

std::string with_line(const std::string& deck, int line, const std::string& text) {
  std::size_t start = 0;
  for (int k = 1; k < line; ++k) {
    start = deck.find('\n', start);
    if (start == std::string::npos) throw std::logic_error("deck has too few lines");
    ++start;
  }
  std::size_t end = deck.find('\n', start);
  if (end == std::string::npos) end = deck.size();
  return deck.substr(0, start) + text + deck.substr(end);
}

std::string first_lines(const std::string& text, int n) {
  std::size_t pos = 0;
  for (int k = 0; k < n && pos != std::string::npos; ++k) {
    pos = text.find('\n', pos);
    if (pos != std::string::npos) ++pos;
  }
  return pos == std::string::npos ? text : text.substr(0, pos);
}

}  // namespace quarno::test
