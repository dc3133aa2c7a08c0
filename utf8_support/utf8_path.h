// UTF-8 path conversion for the file services. Knows neither Ruby nor the platform.
#ifndef KALVERA_UTF8_PATH_H
#define KALVERA_UTF8_PATH_H

#include <cstddef>
#include <string>

namespace kalvera {

// The UTF-16 form of `length` UTF-8 bytes, without a terminator. Malformed sequences become
// U+FFFD; an input the converter cannot take at all gives an empty string, which every
// platform file function refuses. Throws std::bad_alloc only.
std::u16string utf8ToWide(const char* bytes, std::size_t length);

}  // namespace kalvera

#endif
