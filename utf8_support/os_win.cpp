// The OS layer on Windows: the wide-character calls, so that paths reach the file system as
// UTF-16 whatever the narrow code page is.
#include "os.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace kalvera {
namespace os {

namespace {

// The platform calls want a terminated wide string; wchar_t is 16 bits here.
std::wstring terminated(const std::u16string& path) {
  return std::wstring(path.begin(), path.end());
}

}  // namespace

int utf8ToUtf16(const char* bytes, int length, char16_t* destination, int capacity) {
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");
  return ::MultiByteToWideChar(CP_UTF8, 0, bytes, length, reinterpret_cast<wchar_t*>(destination), capacity);
}

std::filesystem::path streamPath(const std::u16string& path) {
  return std::filesystem::path(terminated(path));
}

bool copyWithoutOverwrite(const std::u16string& source, const std::u16string& destination) {
  return ::CopyFileW(terminated(source).c_str(), terminated(destination).c_str(), TRUE) != 0;
}

bool opensForUpdate(const std::u16string& path) {
  // What "r+" does, without a stream: read and write, no create, no truncate, share everything.
  // Binary: the C runtime cuts a final Ctrl-Z from a file opened read-write in text mode.
  const int fd = ::_wopen(terminated(path).c_str(), _O_RDWR | _O_BINARY);
  if (fd < 0) return false;
  ::_close(fd);
  return true;
}

bool writeAccess(const std::u16string& path) {
  return ::_waccess(terminated(path).c_str(), 2) == 0;
}

}  // namespace os
}  // namespace kalvera
