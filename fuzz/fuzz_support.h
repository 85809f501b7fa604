// What the fuzz targets share: reading the input, checking properties, and
// the Windows-1252 table the text checks compare against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// A property that does not hold aborts the run: libFuzzer keeps the input as
// a crash, and the replay runner fails.
[[noreturn]] inline void Fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, condition);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : ::fuzz::Fail(__FILE__, __LINE__, #condition))

// Reads the input front to back; once it is used up every read gives zeros or
// nothing, so any input is a valid one.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] std::size_t Remaining() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint16_t U16() {
    const auto low = static_cast<std::uint16_t>(Byte());
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }

  std::uint32_t U32() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= static_cast<std::uint32_t>(Byte()) << shift;
    return value;
  }

  // Up to `count` bytes.
  std::string_view Bytes(std::size_t count) {
    const std::size_t taken = count < Remaining() ? count : Remaining();
    const std::string_view bytes(reinterpret_cast<const char*>(data_ + pos_), taken);
    pos_ += taken;
    return bytes;
  }

  // A chunk preceded by its 16-bit length.
  std::string_view Chunk() { return Bytes(U16()); }

  std::string_view Rest() { return Bytes(Remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Wide text from UTF-16LE code units, as Windows stores it; an odd last byte
// is dropped. Any unit is kept, NUL and unpaired surrogates included.
inline std::wstring WideFromUtf16(std::string_view bytes) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) |
                      static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

// The text before the first NUL, as a C string argument is seen.
inline std::wstring_view UpToNul(std::wstring_view text) { return text.substr(0, text.find(L'\0')); }
inline std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

// Windows-1252: bytes 0x80..0x9F map to these characters (the five the code
// page leaves undefined map to themselves); every other byte is Latin-1.
inline wchar_t WidenCp1252(unsigned char c) {
  static constexpr wchar_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return c >= 0x80 && c <= 0x9F ? kHigh[c - 0x80] : static_cast<wchar_t>(c);
}

// The byte code page 1252 (the simulated machine's system code page) has for
// `c`, or -1.
inline int Cp1252Byte(wchar_t c) {
  if ((c >= 0 && c < 0x80) || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int byte = 0x80; byte <= 0x9F; ++byte) {
    if (WidenCp1252(static_cast<unsigned char>(byte)) == c) return byte;
  }
  return -1;
}

// Whether the service narrows the text: every character has a byte in code
// page 1252, and there is no NUL to cut it short.
inline bool Narrowable(std::wstring_view text) {
  for (const wchar_t c : text) {
    if (c == L'\0' || Cp1252Byte(c) < 0) return false;
  }
  return true;
}

// Narrowable text narrowed with code page 1252.
inline std::string NarrowCp1252(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) narrow.push_back(static_cast<char>(Cp1252Byte(c)));
  return narrow;
}

inline char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

template <typename Char>
bool EqualFoldingAscii(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// A registry key path as the simulated registry files it: lower case, no
// trailing separators.
inline std::string RegistryKeyOf(std::string_view path) {
  std::string key;
  key.reserve(path.size());
  for (const char c : path) key.push_back(FoldAscii(c));
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return key;
}

}  // namespace fuzz
