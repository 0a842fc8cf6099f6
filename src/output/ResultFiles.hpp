// Opening the files a run writes in its folder, without trusting what is
// already there: a planted symbolic link is never written through, a FIFO
// is never waited on, and nothing is emptied before every file the run will
// write is known to be writable.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace quarno {

// Opens the results files for writing, replacing what they held, but only
// once all are known to be writable: a file that cannot be opened leaves the
// others' previous results untouched (and removes those this run created).
// A symbolic link, a FIFO, a directory or any other file that is neither a
// regular file nor a character device (such as /dev/null) is refused. Each
// of the `create_names` (files written later under a temporary name and
// renamed, such as a saved state) must be creatable in the folder, checked
// by creating and removing a temporary file beside it, and must not be a
// file the rename would turn into a regular one (a device, a FIFO, a socket
// or a directory; a link is replaced, not written through). Returns an empty
// string, or the one message of the first failure; on failure no file is
// touched and no file is left open.
std::string open_results(std::FILE** files, const char* const* names, int count,
                         const char* const* create_names, int create_count);

// Whether the paths `a` and `b` name the same file: the one file they lead
// to (device and inode, so hard links and links are found), or, whether or
// not it exists yet, the same name in the same folder (so "x", "./x" and
// "dir/../x" are one).
bool same_file(const std::string& a, const std::string& b);

// The files this process has written, in the order they were opened for the
// run (the results files) or put in place (every FileReplacement), each by
// the name it was opened under; for the run manifest. Noted outside the time
// loop only.
const std::vector<std::string>& written_files();
void note_written(const char* name);
void forget_written_files();

// A file written whole or not at all: the text goes to a fresh, uniquely
// named temporary file created exclusively beside `name` (never an existing
// file, link or FIFO), which replaces `name` by a rename when complete.
// Until then, and whenever it fails, `name` is untouched; the temporary file
// is removed when the replacement is abandoned or fails.
class FileReplacement {
 public:
  explicit FileReplacement(const char* name) : name_(name) {}
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Creates the temporary file; throws OutputError naming `name` when it
  // cannot be created.
  std::FILE* open();
  // Closes the temporary file (the caller must not close it) and renames it
  // to `name`; throws OutputError naming `name`, with the temporary file
  // removed, when a write, the close or the rename failed.
  void commit();

 private:
  void discard();
  const char* name_;
  std::string temp_;
  std::FILE* file_ = nullptr;
};

}  // namespace quarno
