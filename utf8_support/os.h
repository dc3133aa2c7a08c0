// The OS layer: the few platform services the file services need. One implementation per
// platform (os_win.cpp, os_posix.cpp); extconf.rb compiles exactly one of them.
//
// Paths arrive here as UTF-16 without a terminator. Never include ruby.h here or in the
// implementations: on Windows it defines function-like macros named close, write, stat...
#ifndef KALVERA_OS_H
#define KALVERA_OS_H

#include <filesystem>
#include <string>

namespace kalvera {
namespace os {

// Converts UTF-8 to UTF-16 with the contract of MultiByteToWideChar(CP_UTF8, 0, ...): with a
// null destination it only measures; otherwise it writes at most `capacity` units. Returns the
// number of units (measured or written), 0 on failure. Malformed input is not an error: each
// maximal invalid subpart becomes one U+FFFD.
int utf8ToUtf16(const char* bytes, int length, char16_t* destination, int capacity);

// The path a standard file stream opens for this UTF-16 path.
std::filesystem::path streamPath(const std::u16string& path);

// Copies source to destination unless the destination exists. Never overwrites, never leaves
// a partial destination behind. Returns whether the copy was made.
bool copyWithoutOverwrite(const std::u16string& source, const std::u16string& destination);

// Whether the file exists and opens for reading and writing without being created or
// truncated, as the "r+" mode opens it. The file is closed again at once.
bool opensForUpdate(const std::u16string& path);

// Whether the process may write to the file or directory at path.
bool writeAccess(const std::u16string& path);

}  // namespace os
}  // namespace kalvera

#endif
