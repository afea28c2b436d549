// Preloaded into a program under test (LD_PRELOAD): read() on the file named by
// CORVANE_READ_FAULT_FILE fails with EIO from byte CORVANE_READ_FAULT_AT on, as a failing disk
// would. Only read() fails: pread() (our own AVI reader's) goes on working, so a test can fail
// the reads libavformat makes of a file while ours of the same file succeed.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);

struct CFault {
  bool m_armed = false;
  dev_t m_device = 0;
  ino_t m_inode = 0;
  off_t m_at = 0;
};

const CFault& Fault() {
  static const CFault fault = [] {
    CFault made;
    const char* file = std::getenv("CORVANE_READ_FAULT_FILE");
    const char* at = std::getenv("CORVANE_READ_FAULT_AT");
    struct stat status {};
    if (file && at && ::stat(file, &status) == 0) {
      made.m_armed = true;
      made.m_device = status.st_dev;
      made.m_inode = status.st_ino;
      made.m_at = static_cast<off_t>(std::atoll(at));
    }
    return made;
  }();
  return fault;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  static const auto real = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
  const CFault& fault = Fault();
  struct stat status {};
  if (fault.m_armed && ::fstat(fd, &status) == 0 && status.st_dev == fault.m_device &&
      status.st_ino == fault.m_inode) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at + static_cast<off_t>(count) > fault.m_at) {
      errno = EIO;
      return -1;
    }
  }
  return real(fd, buffer, count);
}
