#include "output/ResultFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/TextLayout.hpp"

namespace quarno {

namespace {

std::string cannot_open(const char* name, const std::string& why) {
  return std::string(name) + ": cannot open the file for writing (" + why + ")";
}

// Opens `name` for writing without following a link and without waiting on
// a FIFO; creates it when missing. Sets `created` when it did. Returns the
// descriptor, or -1 with `why` set.
int open_result(const char* name, bool& created, std::string& why) {
  created = false;
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(name, kFlags);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(name, kFlags | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
  }
  if (fd < 0) {
    struct stat st {};
    if (errno == ELOOP) {
      why = "it is a symbolic link; results are not written through links";
    } else if (errno == ENXIO || (::lstat(name, &st) == 0 && S_ISFIFO(st.st_mode))) {
      why = "it is not a regular file";
    } else {
      why = std::strerror(errno);
    }
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
    ::close(fd);
    why = "it is not a regular file";
    return -1;
  }
  // Writes block as usual from here on.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

// Creates a fresh temporary file beside `name`; -1 with errno set when it
// cannot be created.
int create_temporary(const char* name, std::string& temp) {
  temp = std::string(name) + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  // mkostemp creates the file for its owner only; a result file takes the
  // usual permissions under the umask.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  return fd;
}

// Empty when `name` can be replaced by a rename: a temporary file beside it
// can be created, and `name`, when it exists, is a regular file or a link
// (the link itself is replaced, never written through). A device, a FIFO, a
// socket or a directory is refused: a rename would put a regular file in its
// place.
std::string check_can_create(const char* name) {
  struct stat st {};
  if (::lstat(name, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return cannot_open(name, "it is a directory");
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
      return cannot_open(name, "it is not a regular file");
  }
  std::string temp;
  const int fd = create_temporary(name, temp);
  if (fd < 0) return cannot_open(name, std::strerror(errno));
  ::close(fd);
  ::unlink(temp.c_str());
  return {};
}

// The directory entry of `path` (its folder's device and inode and its last
// name) and, when it exists, the file it leads to (device and inode, links
// followed). `entry_known`/`file_known` are false when there is none.
struct FileKeys {
  bool entry_known = false, file_known = false;
  dev_t entry_dev = 0, file_dev = 0;
  ino_t entry_ino = 0, file_ino = 0;
  std::string name;
};

FileKeys file_keys(const std::string& path) {
  FileKeys k;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    k.file_known = true;
    k.file_dev = st.st_dev;
    k.file_ino = st.st_ino;
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0                ? "/"
                                                         : path.substr(0, slash);
  k.name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!k.name.empty() && ::stat(folder.c_str(), &st) == 0) {
    k.entry_known = true;
    k.entry_dev = st.st_dev;
    k.entry_ino = st.st_ino;
  }
  return k;
}

std::vector<std::string>& written_list() {
  static std::vector<std::string> list;
  return list;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  const FileKeys x = file_keys(a), y = file_keys(b);
  if (x.file_known && y.file_known && x.file_dev == y.file_dev && x.file_ino == y.file_ino)
    return true;
  return x.entry_known && y.entry_known && x.entry_dev == y.entry_dev &&
         x.entry_ino == y.entry_ino && x.name == y.name;
}

const std::vector<std::string>& written_files() { return written_list(); }
void note_written(const char* name) { written_list().emplace_back(name); }
void forget_written_files() { written_list().clear(); }

std::string open_results(std::FILE** files, const char* const* names, int count,
                         const char* const* create_names, int create_count) {
  std::vector<int> fds(static_cast<std::size_t>(count), -1);
  std::vector<char> created(static_cast<std::size_t>(count), 0);
  auto undo = [&](int opened) {
    for (int j = 0; j < opened; ++j) {
      ::close(fds[j]);
      if (created[j]) ::unlink(names[j]);
    }
  };
  for (int k = 0; k < count; ++k) {
    bool made = false;
    std::string why;
    fds[k] = open_result(names[k], made, why);
    created[k] = made;
    if (fds[k] < 0) {
      undo(k);
      return cannot_open(names[k], why);
    }
  }
  for (int k = 0; k < create_count; ++k) {
    const std::string error = check_can_create(create_names[k]);
    if (!error.empty()) {
      undo(count);
      return error;
    }
  }
  for (int k = 0; k < count; ++k) {
    // (A device such as /dev/null cannot be truncated and needs not be.)
    const bool truncated = ::ftruncate(fds[k], 0) == 0 || errno == EINVAL;
    if (!truncated || !(files[k] = ::fdopen(fds[k], "w"))) {
      const std::string why = std::strerror(errno);
      for (int j = 0; j < count; ++j) {
        if (j < k) std::fclose(files[j]);
        else ::close(fds[j]);
      }
      return cannot_open(names[k], why);
    }
  }
  for (int k = 0; k < count; ++k) note_written(names[k]);
  return {};
}

FileReplacement::~FileReplacement() { discard(); }

void FileReplacement::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

std::FILE* FileReplacement::open() {
  discard();
  const int fd = create_temporary(name_, temp_);
  if (fd < 0) {
    const int error = errno;
    temp_.clear();
    throw OutputError(std::string(name_) + ": cannot write (" + std::strerror(error) + ")");
  }
  file_ = ::fdopen(fd, "w");
  if (file_ == nullptr) {
    const int error = errno;
    ::close(fd);
    discard();
    throw OutputError(std::string(name_) + ": cannot write (" + std::strerror(error) + ")");
  }
  return file_;
}

void FileReplacement::commit() {
  std::FILE* f = file_;
  file_ = nullptr;
  errno = 0;
  bool ok = f != nullptr && std::ferror(f) == 0 && std::fflush(f) == 0;
  // On disk before it replaces the old file, so that a crash leaves the one
  // or the other, whole.
  ok = ok && (::fsync(::fileno(f)) == 0 || errno == EINVAL || errno == EROFS);
  int error = errno;
  if (f != nullptr && std::fclose(f) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temp_.c_str(), name_) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    discard();
    throw OutputError(std::string(name_) + ": cannot write (" +
                      (error != 0 ? std::strerror(error) : "write error") + ")");
  }
  temp_.clear();
  note_written(name_);
}

}  // namespace quarno
