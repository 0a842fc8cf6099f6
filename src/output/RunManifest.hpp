// The run manifest crManifest.json: which files the latest run in a folder
// wrote and whether it finished, so that a reader never takes a file of an
// older or unfinished run for a result. Written whole (temporary file and
// rename) when the run starts and again as its last act.
#pragma once

#include <string>
#include <vector>

#include "output/DateTime.hpp"

namespace quarno {

class RunManifest {
 public:
  // The program's version and its arguments (argv[1..]) as given.
  RunManifest(std::string version, std::vector<std::string> arguments)
      : version_(std::move(version)), arguments_(std::move(arguments)) {}

  // Writes the manifest of a running run in the working directory, which
  // must be the run folder. False, with nothing written, when the folder
  // cannot take it: no manifest is written for this run then.
  bool start();

  // Rewrites it with the end: the exit status (0 finished, 130 and 143
  // interrupted, else failed), the message printed on failure, and the
  // files written, each with its size and XXH64 as it is on disk now (a
  // file no longer there or no regular file, such as a device, is left out;
  // a name given twice is listed once).
  // Nothing when start() did not write. Never throws.
  void finish(int status, const std::string& message, const std::vector<std::string>& files);

  // What the run's dates and concentrations mean, for the documents written
  // after it: the instant of time 0 (not set: null) and the deck's
  // concentration unit in its canonical text (empty: null).
  void set_deck(const StartDate& start, const std::string& concentration_unit) {
    start_ = start;
    unit_ = concentration_unit;
  }

 private:
  std::string document(int status, const std::string& message,
                       const std::vector<std::string>& files) const;
  bool write(const std::string& text);
  std::string version_;
  std::vector<std::string> arguments_;
  std::string folder_;
  std::string started_;
  StartDate start_;
  std::string unit_;
  bool on_ = false;
};

// The file's size and XXH64 (seed 0, 16 lowercase hexadecimal digits);
// false when it is no regular file or cannot be read.
bool file_digest(const std::string& path, long long& bytes, std::string& xxh64);

// The current UTC time as ISO 8601 with milliseconds, e.g.
// 2026-12-10T04:00:00.123Z.
std::string utc_now();

}  // namespace quarno
