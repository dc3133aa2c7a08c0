// The OS layer on POSIX systems: our own stand-ins for the Windows calls, following what the
// extension expects of them. File names on disk are UTF-8, so UTF-16 paths are encoded back.
#include "os.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvera {
namespace os {

namespace {

const char16_t kReplacement = 0xFFFD;

// Length of the well-formed UTF-8 sequence at bytes[0, available), or 0 with *invalidLength
// set to the length of its maximal invalid subpart (at least 1). Ranges as in Unicode's
// table of well-formed byte sequences.
int sequenceLength(const unsigned char* s, int available, int* invalidLength, char32_t* cp) {
  const unsigned char lead = s[0];
  int need;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    *cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    *cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    *cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    *invalidLength = 1;
    return 0;
  }
  for (int i = 1; i < need; ++i) {
    const bool inRange = i < available && s[i] >= (i == 1 ? low : 0x80) && s[i] <= (i == 1 ? high : 0xBF);
    if (!inRange) {
      *invalidLength = i;
      return 0;
    }
    *cp = (*cp << 6) | (s[i] & 0x3F);
  }
  return need;
}

std::string toUtf8(const std::u16string& wide) {
  std::string out;
  out.reserve(wide.size() * 3);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result: a failed close may be the first sign of lost data.
  bool closeNow() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool copyContents(int in, int out) {
  // In the kernel first; copy_file_range refuses some file system pairs, sendfile others.
  bool kernelCopy = true;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EBADF) break;
    return false;
  }
  // Both calls advance the descriptors' offsets, so each fallback goes on where the last stopped.
  for (;;) {
    const ssize_t n = ::sendfile(out, in, nullptr, 1 << 30);
    if (n > 0) continue;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == ENOSYS) {
      kernelCopy = false;
      break;
    }
    return false;
  }
  if (kernelCopy) return true;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!writeAll(out, buffer, static_cast<std::size_t>(n))) return false;
  }
}

}  // namespace

int utf8ToUtf16(const char* bytes, int length, char16_t* destination, int capacity) {
  if (bytes == nullptr || length <= 0) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
  int units = 0;
  int i = 0;
  while (i < length) {
    char32_t cp = 0;
    int invalid = 0;
    const int n = sequenceLength(s + i, length - i, &invalid, &cp);
    const int produced = n == 4 ? 2 : 1;
    if (destination != nullptr) {
      if (units + produced > capacity) return 0;  // as the Windows converter: too small is failure
      if (n == 0) {
        destination[units] = kReplacement;
      } else if (n == 4) {
        destination[units] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        destination[units + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        destination[units] = static_cast<char16_t>(cp);
      }
    }
    units += produced;
    i += n == 0 ? invalid : n;
  }
  return units;
}

std::filesystem::path streamPath(const std::u16string& path) {
  return std::filesystem::path(toUtf8(path));
}

bool copyWithoutOverwrite(const std::u16string& source, const std::u16string& destination) {
  const std::string from = toUtf8(source);
  const std::string to = toUtf8(destination);
  // O_NONBLOCK: opening a FIFO must not wait for a writer while holding the interpreter.
  Descriptor in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat info;
  if (::fstat(in.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

  // O_EXCL is the whole guarantee against overwriting: it also refuses a link planted there.
  Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777));
  if (out.get() < 0) return false;

  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  const bool copied = copyContents(in.get(), out.get()) && ::fchmod(out.get(), info.st_mode & 07777) == 0 &&
                      ::futimens(out.get(), times) == 0;
  if (out.closeNow() && copied) return true;
  ::unlink(to.c_str());
  return false;
}

bool opensForUpdate(const std::u16string& path) {
  Descriptor file(::open(toUtf8(path).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  return file.get() >= 0;
}

bool writeAccess(const std::u16string& path) {
  return ::access(toUtf8(path).c_str(), W_OK) == 0;
}

}  // namespace os
}  // namespace kalvera
