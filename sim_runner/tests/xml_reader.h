// A strict reader of XML documents for the tests: it checks that a document
// is well-formed (one root element, every element closed in order, each
// attribute once and quoted, "<" and "&" only as markup or a known
// reference, names well made) and gives its elements back as a tree. No
// DTD, no namespaces beyond their attributes, no CDATA: the documents the
// runner writes need none of them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace simrunner::xml {

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<Element> children;
  std::string text;  // the character data directly inside, references resolved

  [[nodiscard]] std::optional<std::string> Attribute(std::string_view key) const {
    for (const auto& [attribute, value] : attributes) {
      if (attribute == key) return value;
    }
    return std::nullopt;
  }

  // This element and every one below it, in document order.
  template <typename Visit>
  void ForEach(Visit&& visit) const {
    visit(*this);
    for (const Element& child : children) child.ForEach(visit);
  }
};

struct Document {
  std::optional<Element> root;
  std::string error;  // why it is not well-formed, with the offset
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Document Read() {
    Document document;
    SkipBlanks();
    if (Take("<?xml")) {
      const std::size_t end = text_.find("?>", at_);
      if (end == std::string_view::npos) return Fail("unterminated XML declaration");
      at_ = end + 2;
    }
    if (!SkipMisc()) return Fail(error_);
    if (!Peek('<')) return Fail("no root element");
    Element root;
    if (!ReadElement(root)) return Fail(error_);
    if (!SkipMisc()) return Fail(error_);
    if (at_ != text_.size()) return Fail("content after the root element");
    document.root = std::move(root);
    return document;
  }

 private:
  Document Fail(const std::string& why) { return {std::nullopt, why + " (at offset " + std::to_string(at_) + ")"}; }

  bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
  bool Take(std::string_view s) {
    if (text_.substr(at_, s.size()) != s) return false;
    at_ += s.size();
    return true;
  }
  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Error(std::string why) {
    error_ = std::move(why);
    return false;
  }

  // Blanks and comments around the root element.
  bool SkipMisc() {
    while (true) {
      SkipBlanks();
      if (text_.substr(at_, 4) != "<!--") return true;
      if (!SkipComment()) return false;
    }
  }
  bool SkipComment() {
    at_ += 4;
    const std::size_t end = text_.find("--", at_);
    if (end == std::string_view::npos || text_.substr(end, 3) != "-->") return Error("bad comment");
    at_ = end + 3;
    return true;
  }

  static bool NameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':'; }
  static bool NameChar(char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
  bool ReadName(std::string& name) {
    if (at_ >= text_.size() || !NameStart(text_[at_])) return Error("a name was expected");
    const std::size_t start = at_;
    while (at_ < text_.size() && NameChar(text_[at_])) ++at_;
    name = std::string(text_.substr(start, at_ - start));
    return true;
  }

  // "&amp;", "&#38;", "&#x26;" ... at `at_`, appended to `out`.
  bool ReadReference(std::string& out) {
    const std::size_t end = text_.find(';', at_);
    if (end == std::string_view::npos || end - at_ > 10) return Error("bare &");
    const std::string_view name = text_.substr(at_ + 1, end - at_ - 1);
    constexpr std::pair<std::string_view, char> kEntities[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    bool known = false;
    for (const auto& [entity, c] : kEntities) {
      if (name == entity) {
        out.push_back(c);
        known = true;
      }
    }
    if (!known && name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string digits(name.substr(hex ? 2 : 1));
      if (digits.empty() ||
          digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        return Error("bad character reference");
      }
      const unsigned long code = std::stoul(digits, nullptr, hex ? 16 : 10);
      if (code == 0 || code > 0x7F) return Error("character reference the tests do not expect");
      out.push_back(static_cast<char>(code));
      known = true;
    }
    if (!known) return Error("unknown entity &" + std::string(name) + ";");
    at_ = end + 1;
    return true;
  }

  // A character XML allows, for the ASCII the runner writes.
  static bool Allowed(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 ? byte != 0x7F : (c == '\t' || c == '\n' || c == '\r');
  }

  bool ReadAttributes(Element& element) {
    while (true) {
      const std::size_t before = at_;
      SkipBlanks();
      if (Peek('>') || Peek('/')) return true;
      if (at_ == before) return Error("blank expected between attributes");
      std::string name;
      if (!ReadName(name)) return false;
      SkipBlanks();
      if (!Take("=")) return Error("= expected after attribute " + name);
      SkipBlanks();
      if (!Peek('"') && !Peek('\'')) return Error("attribute value not quoted");
      const char quote = text_[at_++];
      std::string value;
      while (at_ < text_.size() && text_[at_] != quote) {
        const char c = text_[at_];
        if (c == '<') return Error("< in an attribute value");
        if (!Allowed(c)) return Error("a character XML does not allow");
        if (c == '&') {
          if (!ReadReference(value)) return false;
          continue;
        }
        value.push_back(c);
        ++at_;
      }
      if (!Take(std::string_view(&quote, 1))) return Error("unterminated attribute value");
      if (element.Attribute(name)) return Error("attribute " + name + " given twice");
      element.attributes.emplace_back(std::move(name), std::move(value));
    }
  }

  bool ReadElement(Element& element) {
    ++at_;  // '<'
    if (!ReadName(element.name)) return false;
    if (!ReadAttributes(element)) return false;
    if (Take("/>")) return true;
    if (!Take(">")) return Error("> expected");
    while (true) {
      if (at_ >= text_.size()) return Error("element " + element.name + " not closed");
      const char c = text_[at_];
      if (c == '<') {
        if (Take("</")) {
          std::string name;
          if (!ReadName(name)) return false;
          SkipBlanks();
          if (!Take(">")) return Error("> expected");
          if (name != element.name) return Error("</" + name + "> closes <" + element.name + ">");
          return true;
        }
        if (text_.substr(at_, 4) == "<!--") {
          if (!SkipComment()) return false;
          continue;
        }
        if (text_.substr(at_, 2) == "<!" || text_.substr(at_, 2) == "<?")
          return Error("markup the tests do not expect");
        Element child;
        if (!ReadElement(child)) return false;
        element.children.push_back(std::move(child));
      } else if (c == '&') {
        if (!ReadReference(element.text)) return false;
      } else {
        if (!Allowed(c)) return Error("a character XML does not allow");
        if (c == '>' && text_.substr(at_ >= 2 ? at_ - 2 : 0, 3) == "]]>") return Error("]]> in text");
        element.text.push_back(c);
        ++at_;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
};

inline Document Parse(std::string_view text) { return Reader(text).Read(); }

}  // namespace simrunner::xml
