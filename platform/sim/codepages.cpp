// Code pages 1252, 936 and 65001 of the simulated machine.
#include "platform/sim/codepages.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <iconv.h>

namespace sim {

namespace {

// Windows-1252 bytes 0x80..0x9F; the rest of the code page is Latin-1.
constexpr wchar_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                     0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t WidenCp1252(unsigned char c) { return c >= 0x80 && c <= 0x9F ? kCp1252High[c - 0x80] : c; }

// The byte code page 1252 has for `c`, if any: Latin-1 outside 0x80..0x9F,
// the table inside it.
std::optional<char> NarrowCp1252(wchar_t c) {
  if ((c >= 0 && c < 0x80) || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

// Windows' best-fit substitutes in code page 1252 for characters it lacks
// (Microsoft's WindowsBestFit table bestfit1252.txt): a representative part,
// the Latin letters with diacritics of U+0100..U+017F that become their base
// letter, and the fullwidth forms of ASCII.
struct BestFitRange {
  wchar_t first;
  const char* bytes;  // one byte for each character from `first` on
};
constexpr BestFitRange kBestFit1252[] = {
    {0x0100,
     "AaAaAaCcCcCcCcDd\xD0"
     "dEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi"},
    {0x0134, "JjKk"},
    {0x0139, "LlLlLl"},
    {0x0141, "LlNnNnNn"},
    {0x014C, "OoOoOo"},
    {0x0154, "RrRrRrSsSsSs"},
    {0x0162, "TtTtTtUuUuUuUuUuUuWwYy"},
    {0x0179, "ZzZz"},
};

std::optional<char> BestFitCp1252(wchar_t c) {
  if (c >= 0xFF01 && c <= 0xFF5E) return static_cast<char>(c - 0xFF01 + 0x21);  // fullwidth ASCII
  for (const BestFitRange& range : kBestFit1252) {
    const std::string_view bytes(range.bytes);
    if (c >= range.first && static_cast<std::size_t>(c - range.first) < bytes.size()) return bytes[c - range.first];
  }
  return std::nullopt;
}

// Latin letters that Unicode composes from a base letter and a nonspacing
// mark (WC_COMPOSITECHECK composes them, MB_COMPOSITE takes them apart):
// the uppercase letters of Latin-1, whose lowercase forms lie 0x20 above
// with the lowercase base letter, and the caron letters of code page 1252.
struct Composition {
  wchar_t precomposed;
  wchar_t base;
  wchar_t mark;
};
constexpr wchar_t kGrave = 0x0300, kAcute = 0x0301, kCircumflex = 0x0302, kTilde = 0x0303, kDiaeresis = 0x0308,
                  kRing = 0x030A, kCaron = 0x030C, kCedilla = 0x0327;
constexpr Composition kLatin1Uppercase[] = {
    {0xC0, L'A', kGrave},     {0xC1, L'A', kAcute},      {0xC2, L'A', kCircumflex}, {0xC3, L'A', kTilde},
    {0xC4, L'A', kDiaeresis}, {0xC5, L'A', kRing},       {0xC7, L'C', kCedilla},    {0xC8, L'E', kGrave},
    {0xC9, L'E', kAcute},     {0xCA, L'E', kCircumflex}, {0xCB, L'E', kDiaeresis},  {0xCC, L'I', kGrave},
    {0xCD, L'I', kAcute},     {0xCE, L'I', kCircumflex}, {0xCF, L'I', kDiaeresis},  {0xD1, L'N', kTilde},
    {0xD2, L'O', kGrave},     {0xD3, L'O', kAcute},      {0xD4, L'O', kCircumflex}, {0xD5, L'O', kTilde},
    {0xD6, L'O', kDiaeresis}, {0xD9, L'U', kGrave},      {0xDA, L'U', kAcute},      {0xDB, L'U', kCircumflex},
    {0xDC, L'U', kDiaeresis}, {0xDD, L'Y', kAcute},
};
constexpr Composition kOtherCompositions[] = {
    {0xFF, L'y', kDiaeresis}, {0x178, L'Y', kDiaeresis}, {0x160, L'S', kCaron},
    {0x161, L's', kCaron},    {0x17D, L'Z', kCaron},     {0x17E, L'z', kCaron},
};

template <typename Match>
std::optional<Composition> FindComposition(Match match) {
  for (const Composition& upper : kLatin1Uppercase) {
    const Composition lower{static_cast<wchar_t>(upper.precomposed + 0x20), static_cast<wchar_t>(upper.base + 0x20),
                            upper.mark};
    if (match(upper)) return upper;
    if (match(lower)) return lower;
  }
  for (const Composition& other : kOtherCompositions) {
    if (match(other)) return other;
  }
  return std::nullopt;
}

bool IsNonspacingMark(wchar_t c) { return c >= 0x0300 && c <= 0x036F; }

// Code page 936 (GBK) through the C library's CP936 converter, one character
// at a time: ASCII is itself, everything else one or two bytes.
class Cp936 {
 public:
  explicit Cp936(bool toWide) : converter_(toWide ? iconv_open("WCHAR_T", "CP936") : iconv_open("CP936", "WCHAR_T")) {
    if (converter_ == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "the C library has no CP936 converter\n");
      std::abort();
    }
  }
  ~Cp936() { iconv_close(converter_); }
  Cp936(const Cp936&) = delete;
  Cp936& operator=(const Cp936&) = delete;

  // Converts `in` completely, or gives nothing.
  template <typename Out, typename In>
  std::optional<std::basic_string<Out>> Convert(const In* in, std::size_t inCount) {
    iconv(converter_, nullptr, nullptr, nullptr, nullptr);
    Out out[8] = {};
    char* inBytes = const_cast<char*>(reinterpret_cast<const char*>(in));
    std::size_t inLeft = inCount * sizeof(In);
    char* outBytes = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    if (iconv(converter_, &inBytes, &inLeft, &outBytes, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0) {
      return std::nullopt;
    }
    return std::basic_string<Out>(out, (sizeof out - outLeft) / sizeof(Out));
  }

 private:
  iconv_t converter_;
};

constexpr char kUtf8Replacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr wchar_t kReplacement = 0xFFFD;

// UTF-8 for one character, or nothing for a surrogate or a value that is no
// character (wchar_t is signed here).
std::optional<std::string> EncodeUtf8(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  if (c < 0 || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return std::nullopt;
  std::string out;
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (u >> 6)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else if (u < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (u >> 12)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (u >> 18)));
    out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
  }
  return out;
}

// Decodes the UTF-8 character at `text[i]`, advancing `i` past it. An
// ill-formed sequence gives nothing and is skipped as one piece: its first
// byte and the continuation bytes that could still have belonged to it.
std::optional<wchar_t> DecodeUtf8(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return static_cast<wchar_t>(lead);
  int more = 0;
  std::uint32_t value = 0;
  unsigned char low = 0x80;  // the second byte's range, which excludes overlong forms and surrogates
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    more = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    more = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    more = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return std::nullopt;
  }
  for (int k = 0; k < more; ++k) {
    if (i >= text.size()) return std::nullopt;
    const auto next = static_cast<unsigned char>(text[i]);
    if (next < (k == 0 ? low : 0x80) || next > (k == 0 ? high : 0xBF)) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
    ++i;
  }
  return static_cast<wchar_t>(value);
}

// The bytes for `c` in a single- or double-byte code page, if it has any.
std::optional<std::string> NarrowExact(UINT codePage, wchar_t c, std::unique_ptr<Cp936>& cp936) {
  // wchar_t is signed here: a negative value is no character, not ASCII.
  if (c >= 0 && c < 0x80) return std::string(1, static_cast<char>(c));
  if (codePage == 1252) {
    if (const auto byte = NarrowCp1252(c)) return std::string(1, *byte);
    return std::nullopt;
  }
  if (!cp936) cp936 = std::make_unique<Cp936>(false);
  return cp936->Convert<char>(&c, 1);
}

NarrowedChar NarrowOne(UINT codePage, wchar_t c, const NarrowRules& rules, std::unique_ptr<Cp936>& cp936) {
  if (const auto exact = NarrowExact(codePage, c, cp936)) return {*exact, false};
  if (rules.bestFit && codePage == 1252) {
    if (const auto substitute = BestFitCp1252(c)) return {std::string(1, *substitute), false};
  }
  return {rules.defaultChar, true};
}

void Decompose(std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    if (const auto composition = FindComposition([c](const Composition& x) { return x.precomposed == c; })) {
      out.push_back(composition->base);
      out.push_back(composition->mark);
    } else {
      out.push_back(c);
    }
  }
  text = std::move(out);
}

}  // namespace

bool IsSimulatedCodePage(UINT codePage) { return codePage == 1252 || codePage == 936 || codePage == CP_UTF8; }

bool IsLeadByte(UINT codePage, unsigned char byte) { return codePage == 936 && byte >= 0x81 && byte <= 0xFE; }

std::optional<std::vector<NarrowedChar>> NarrowText(UINT codePage, std::wstring_view text, const NarrowRules& rules) {
  std::vector<NarrowedChar> out;
  out.reserve(text.size());
  std::unique_ptr<Cp936> cp936;
  for (std::size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (codePage == CP_UTF8) {
      auto bytes = EncodeUtf8(c);
      if (!bytes) {
        if (rules.failOnInvalid) return std::nullopt;
        bytes = kUtf8Replacement;
      }
      out.push_back({*bytes, false});
      continue;
    }
    if (rules.compose && i + 1 < text.size() && IsNonspacingMark(text[i + 1])) {
      const wchar_t mark = text[i + 1];
      const auto composition =
          FindComposition([c, mark](const Composition& x) { return x.base == c && x.mark == mark; });
      if (composition) {
        c = composition->precomposed;
        ++i;
      } else if (rules.uncomposable == WC_DISCARDNS) {
        out.push_back(NarrowOne(codePage, c, rules, cp936));
        ++i;
        continue;
      } else if (rules.uncomposable == WC_DEFAULTCHAR) {
        out.push_back({rules.defaultChar, true});
        ++i;
        continue;
      }
    }
    out.push_back(NarrowOne(codePage, c, rules, cp936));
  }
  return out;
}

std::optional<std::wstring> WidenText(UINT codePage, std::string_view text, const WidenRules& rules) {
  std::wstring out;
  out.reserve(text.size());
  if (codePage == 1252) {
    for (const char c : text) out.push_back(WidenCp1252(static_cast<unsigned char>(c)));
  } else if (codePage == CP_UTF8) {
    for (std::size_t i = 0; i < text.size();) {
      const auto c = DecodeUtf8(text, i);
      if (!c && rules.failOnInvalid) return std::nullopt;
      out.push_back(c.value_or(kReplacement));
    }
  } else {
    Cp936 converter(true);
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x80) {
        out.push_back(c);
        continue;
      }
      // A lead byte takes the next byte with it; a byte or pair the table
      // does not hold becomes '?', and a lone lead byte leaves the byte after
      // it to be read on its own.
      const std::size_t length = IsLeadByte(codePage, c) && i + 1 < text.size() ? 2 : 1;
      const auto wide = converter.Convert<wchar_t>(text.data() + i, length);
      if (wide && wide->size() == 1) {
        out += *wide;
        i += length - 1;
      } else if (rules.failOnInvalid) {
        return std::nullopt;
      } else {
        out.push_back(L'?');
      }
    }
  }
  if (rules.decompose) Decompose(out);
  return out;
}

std::wstring FromCodePage(UINT codePage, std::string_view text) { return *WidenText(codePage, text, WidenRules{}); }

std::string ToCodePage(UINT codePage, std::wstring_view text) {
  const auto narrowed = NarrowText(codePage, text, NarrowRules{});
  std::string out;
  for (const NarrowedChar& c : *narrowed) out += c.bytes;
  return out;
}

}  // namespace sim
