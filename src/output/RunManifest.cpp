#include "output/RunManifest.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>

#include "model/FileNames.hpp"
#include "output/Json.hpp"
#include "output/ResultFiles.hpp"

namespace quarno {

namespace {

// The name as the manifest gives it: relative to the run folder for a file
// inside it, absolute otherwise.
std::string listed_name(const std::string& name, const std::string& folder) {
  if (name.empty() || name.front() != '/') return name;
  // A saved file named from elsewhere may hold "..": /a/run/../state.txt is
  // /a/state.txt, outside the folder.
  const std::string path = std::filesystem::path(name).lexically_normal().string();
  const std::string prefix = folder + "/";
  if (!folder.empty() && path.compare(0, prefix.size(), prefix) == 0)
    return path.substr(prefix.size());
  return path;
}

const char* state_of(int status) {
  if (status == 0) return "finished";
  if (status == 130 || status == 143) return "interrupted";
  return "failed";
}

}  // namespace

std::string utc_now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  ::gmtime_r(&ts.tv_sec, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ts.tv_nsec / 1000000));
  return buf;
}

bool file_digest(const std::string& path, long long& bytes, std::string& xxh64) {
  // Only a regular file: a device such as /dev/null or /dev/full (which a
  // results file may be) has no content to list, and reading it may not end.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  XXH64_state_t* state = XXH64_createState();
  bool ok = state != nullptr && XXH64_reset(state, 0) == XXH_OK;
  bytes = 0;
  char buf[1 << 16];
  std::size_t n = 0;
  while (ok && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    ok = XXH64_update(state, buf, n) == XXH_OK;
    bytes += static_cast<long long>(n);
  }
  ok = ok && std::ferror(f) == 0;
  std::fclose(f);
  if (ok) {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(XXH64_digest(state)));
    xxh64 = hex;
  }
  if (state != nullptr) XXH64_freeState(state);
  return ok;
}

std::string RunManifest::document(int status, const std::string& message,
                                  const std::vector<std::string>& files) const {
  const bool running = status < 0;
  JsonWriter j;
  j.begin_object();
  j.key("format").string("quarno run manifest, version 1");
  j.key("version").string(version_);
  j.key("arguments").strings(arguments_);
  j.key("folder").string(folder_);
  j.key("started").string(started_);
  if (running) j.key("ended").null();
  else j.key("ended").string(utc_now());
  j.key("state").string(running ? "running" : state_of(status));
  if (running) j.key("exit_status").null();
  else j.key("exit_status").integer(status);
  j.key("message").string(message);
  char date[kDateTimeCapacity];
  const int n = start_.set ? format_datetime(start_, 0.0, date) : 0;
  if (n > 0) j.key("start_date").string(std::string(date, n));
  else j.key("start_date").null();
  if (unit_.empty()) j.key("concentration_unit").null();
  else j.key("concentration_unit").string(unit_);
  j.key("files").begin_array();
  std::vector<std::string> listed;
  for (const std::string& name : files) {
    const std::string shown = listed_name(name, folder_);
    bool seen = shown == files::kManifest;
    for (const std::string& l : listed) seen = seen || l == shown;
    long long bytes = 0;
    std::string hash;
    if (seen || !file_digest(name, bytes, hash)) continue;
    listed.push_back(shown);
    j.begin_object(true);
    j.key("name").string(shown);
    j.key("bytes").integer(bytes);
    j.key("xxh64").string(hash);
    j.end_object();
  }
  j.end_array();
  j.end_object();
  return j.text();
}

bool RunManifest::write(const std::string& text) {
  try {
    FileReplacement file(files::kManifest);
    std::FILE* f = file.open();
    std::fwrite(text.data(), 1, text.size(), f);
    file.commit();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool RunManifest::start() {
  char cwd[4096];
  folder_ = ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
  started_ = utc_now();
  on_ = write(document(-1, "", {}));
  return on_;
}

void RunManifest::finish(int status, const std::string& message,
                         const std::vector<std::string>& files) {
  if (!on_) return;
  try {
    write(document(status, message, files));
  } catch (const std::exception&) {
    // A manifest that cannot be rewritten stays "running": unfinished.
  }
}

}  // namespace quarno
