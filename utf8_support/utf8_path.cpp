#include "utf8_path.h"

#include <climits>

#include "os.h"

namespace kalvera {

std::u16string utf8ToWide(const char* bytes, std::size_t length) {
  std::u16string wide;
  // The converter takes an int length; no file system accepts a path anywhere near that long.
  if (length == 0 || length > static_cast<std::size_t>(INT_MAX)) return wide;
  const int inLength = static_cast<int>(length);
  const int needed = os::utf8ToUtf16(bytes, inLength, nullptr, 0);
  if (needed <= 0) return wide;
  wide.resize(static_cast<std::size_t>(needed));
  const int written = os::utf8ToUtf16(bytes, inLength, &wide[0], needed);
  wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return wide;
}

}  // namespace kalvera
