// Fuzz target for the path conversions: os::utf8ToUtf16 (the POSIX layer's stand-in for the
// Windows converter), utf8ToWide above it, and os::streamPath, the way back to UTF-8.
//
// The oracle knows no decoding rule of its own: it encodes every Unicode scalar value to UTF-8
// and keeps every prefix of every encoding. Well-formed input is then a chain of complete
// encodings, and a maximal invalid subpart is the longest prefix found at an offset (one byte
// when none is), so a mistake shared with the converter's range table cannot hide here.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "os.h"
#include "utf8_path.h"

namespace {

const char32_t kReplacement = 0xFFFD;

void fail(const char* what, const uint8_t* data, std::size_t size) {
  std::fprintf(stderr, "utf8_fuzz: %s\ninput (%zu bytes):", what, size);
  for (std::size_t i = 0; i < size && i < 256; ++i) std::fprintf(stderr, " %02X", data[i]);
  std::fprintf(stderr, "%s\n", size > 256 ? " ..." : "");
  std::abort();
}

#define CHECK(condition, what)             \
  do {                                      \
    if (!(condition)) fail(what, data, size); \
  } while (0)

// UTF-8 of one scalar value, from the bit layout of the encoding.
std::string encode(char32_t c) {
  std::string out;
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
  return out;
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(0xD800 | ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 | ((c - 0x10000) & 0x3FF));
  }
}

class Oracle {
 public:
  Oracle() {
    prefixes_.reserve(1 << 21);
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;  // not scalar values: no encoding
      const std::string bytes = encode(c);
      for (std::size_t n = 1; n <= bytes.size(); ++n) {
        prefixes_[key(reinterpret_cast<const uint8_t*>(bytes.data()), n)] = n == bytes.size() ? c : kPartial;
      }
    }
  }

  // The UTF-16 that U+FFFD-per-maximal-subpart decoding gives; *wellFormed tells whether
  // no replacement was needed.
  std::u16string decode(const uint8_t* s, std::size_t size, bool* wellFormed) const {
    std::u16string out;
    *wellFormed = true;
    std::size_t i = 0;
    while (i < size) {
      std::size_t matched = 0;
      char32_t found = kPartial;
      for (std::size_t n = 1; n <= 4 && i + n <= size; ++n) {
        const auto it = prefixes_.find(key(s + i, n));
        if (it == prefixes_.end()) break;
        matched = n;
        found = it->second;
        if (found != kPartial) break;  // UTF-8 is prefix-free: nothing longer can match
      }
      if (found == kPartial) {
        *wellFormed = false;
        appendUtf16(out, kReplacement);
        i += matched == 0 ? 1 : matched;
      } else {
        appendUtf16(out, found);
        i += matched;
      }
    }
    return out;
  }

 private:
  static const char32_t kPartial = 0xFFFFFFFF;

  static uint64_t key(const uint8_t* s, std::size_t n) {
    uint64_t k = n;
    for (std::size_t i = 0; i < n; ++i) k = (k << 8) | s[i];
    return k;
  }

  std::unordered_map<uint64_t, char32_t> prefixes_;
};

const Oracle& oracle() {
  static const Oracle instance;
  return instance;
}

// Scalar values of UTF-16, or false at a lone surrogate.
bool toScalars(const std::u16string& wide, std::u32string* scalars) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char32_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      *scalars += 0x10000 + ((u - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      return false;
    } else {
      *scalars += u;
    }
  }
  return true;
}

std::string toUtf8(const std::u32string& scalars) {
  std::string out;
  for (char32_t c : scalars) out += encode(c);
  return out;
}

void checkUtf8Input(const uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const int length = static_cast<int>(size);
  bool wellFormed = false;
  const std::u16string expected = oracle().decode(data, size, &wellFormed);

  const int measured = kalvera::os::utf8ToUtf16(bytes, length, nullptr, 0);
  CHECK(measured == static_cast<int>(expected.size()), "utf8ToUtf16 measured a length other than the oracle's");
  if (measured > 0) {
    // Heap buffers of the exact size, so a unit written past capacity is an ASan report.
    std::unique_ptr<char16_t[]> exact(new char16_t[measured]);
    CHECK(kalvera::os::utf8ToUtf16(bytes, length, exact.get(), measured) == measured,
          "utf8ToUtf16 wrote a length other than it measured");
    CHECK(std::u16string(exact.get(), measured) == expected, "utf8ToUtf16 differs from the oracle");
    std::unique_ptr<char16_t[]> small(new char16_t[measured - 1]);
    CHECK(kalvera::os::utf8ToUtf16(bytes, length, small.get(), measured - 1) == 0,
          "utf8ToUtf16 did not fail on a destination one unit short");
  }

  const std::u16string wide = kalvera::utf8ToWide(bytes, size);
  CHECK(wide == expected, "utf8ToWide differs from the oracle");
  std::u32string scalars;
  CHECK(toScalars(wide, &scalars), "utf8ToWide gave a lone surrogate");
  const std::string back = toUtf8(scalars);
  if (wellFormed) CHECK(back == std::string(bytes, size), "well-formed UTF-8 did not round-trip");
  CHECK(kalvera::os::streamPath(wide).native() == back, "streamPath of valid UTF-16 is not its UTF-8");
}

// Any UTF-16, lone surrogates included: streamPath must still give well-formed UTF-8.
void checkUtf16Input(const uint8_t* data, std::size_t size) {
  std::u16string wide(size / 2, u'\0');
  if (!wide.empty()) std::memcpy(&wide[0], data, wide.size() * 2);
  const std::string path = kalvera::os::streamPath(wide).native();
  bool wellFormed = false;
  oracle().decode(reinterpret_cast<const uint8_t*>(path.data()), path.size(), &wellFormed);
  CHECK(wellFormed, "streamPath gave malformed UTF-8");
  std::u32string scalars;
  if (toScalars(wide, &scalars)) CHECK(path == toUtf8(scalars), "streamPath of valid UTF-16 is not its UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Built once, before the clock starts, and held to Unicode's worked example of maximal
  // subparts, so a wrong oracle cannot pass a wrong converter.
  const uint8_t data[] = {0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64};
  const std::size_t size = sizeof data;
  bool wellFormed = true;
  CHECK(oracle().decode(data, size, &wellFormed) == u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd" && !wellFormed,
        "the oracle disagrees with Unicode's example");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;  // the converter takes an int length; paths are far shorter
  checkUtf8Input(data, size);
  checkUtf16Input(data, size);
  return 0;
}
