// Internal to the file layer: descriptors that close themselves, and paths
// split into a folder, opened once, and a name in it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace tarnwick::file {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

struct Place {
  std::string folder;  // "." when the path has no slash
  std::string entry;   // empty when the path ends in a slash
};
// "a/b/c" -> {"a/b/", "c"}; "c" -> {".", "c"}; "/c" -> {"/", "c"}.
Place split_path(std::string_view path);

// Whether `entry`, found in `folder`, belongs to another user (neither the
// caller nor the folder's owner) in a sticky world-writable folder such as
// /tmp: what the kernel's protected_symlinks and protected_regular settings
// guard, applied whatever their values.
bool foreign_in_shared_folder(const struct stat& entry, const struct stat& folder);

// What a file that is not a regular file is, for messages.
std::string kind_of(mode_t mode);

// The folder for the *at() calls: opened for reading where permitted, so
// that it can be synced, else with O_PATH. -1 and errno on failure.
int open_folder(const std::string& folder);

}  // namespace tarnwick::file
