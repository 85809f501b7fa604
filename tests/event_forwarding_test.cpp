// The Windows Event Forwarding subscription shipped in windows/ for a fleet's
// collector: well-formed XML (expat, as strict as wecutil's parser about
// well-formedness), and the fields that decide what is forwarded: the query
// selects the service's own source in the log it writes to.
#include <expat.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/event_log.h"
#include "common/model.h"
#include "service/service_main.h"
#include "tests/guide_reader.h"

namespace {

const std::string kSubscriptionFile = SPOOLSYNC_SOURCE_DIR "/windows/spoolsync-subscription.xml";
constexpr char kSubscriptionNamespace[] = "http://schemas.microsoft.com/2006/03/windows/events/subscription";

// An element of a parsed document: its name (with its namespace before a
// "|" when it has one), attributes, text and children.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::unique_ptr<Element>> children;

  const Element* Child(const std::string& childName) const {
    for (const auto& child : children) {
      if (child->name == childName) return child.get();
    }
    return nullptr;
  }
  std::string ChildText(const std::string& childName) const {
    const Element* child = Child(childName);
    return child == nullptr ? "(missing)" : child->text;
  }
};

struct ParseResult {
  std::unique_ptr<Element> root;
  std::string error;  // empty when the document is well-formed
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

class Builder {
 public:
  static void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& self = *static_cast<Builder*>(data);
    auto element = std::make_unique<Element>();
    element->name = name;
    for (int i = 0; attributes[i] != nullptr; i += 2) element->attributes[attributes[i]] = attributes[i + 1];
    Element* raw = element.get();
    if (self.open_.empty()) {
      self.root_ = std::move(element);
    } else {
      self.open_.back()->children.push_back(std::move(element));
    }
    self.open_.push_back(raw);
  }
  static void XMLCALL End(void* data, const XML_Char*) {
    auto& self = *static_cast<Builder*>(data);
    self.open_.back()->text = Trim(self.open_.back()->text);
    self.open_.pop_back();
  }
  static void XMLCALL Text(void* data, const XML_Char* text, int length) {
    auto& self = *static_cast<Builder*>(data);
    if (!self.open_.empty()) self.open_.back()->text.append(text, static_cast<std::size_t>(length));
  }
  std::unique_ptr<Element> TakeRoot() { return std::move(root_); }

 private:
  std::unique_ptr<Element> root_;
  std::vector<Element*> open_;
};

// Parses `text` with namespaces (a namespaced name is "uri|local").
ParseResult Parse(const std::string& text) {
  const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreateNS("UTF-8", '|'),
                                                                            &XML_ParserFree);
  Builder builder;
  XML_SetUserData(parser.get(), &builder);
  XML_SetElementHandler(parser.get(), &Builder::Start, &Builder::End);
  XML_SetCharacterDataHandler(parser.get(), &Builder::Text);
  ParseResult result;
  if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) {
    std::ostringstream error;
    error << "line " << XML_GetCurrentLineNumber(parser.get()) << ", column "
          << XML_GetCurrentColumnNumber(parser.get()) << ": " << XML_ErrorString(XML_GetErrorCode(parser.get()));
    result.error = error.str();
    return result;
  }
  result.root = builder.TakeRoot();
  return result;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Narrow(std::wstring_view text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += static_cast<char>(c);  // the names compared here are ASCII
  return narrow;
}

TEST(EventForwarding, TheParserRejectsWhatIsNotWellFormed) {
  struct Row {
    const char* text;
    bool wellFormed;
  };
  const Row rows[] = {
      {"<a><b>x</b></a>", true},      {"<a><![CDATA[<q>&</q>]]></a>", true},
      {"<a><b>x</a></b>", false},      // crossed elements
      {"<a>x & y</a>", false},         // a bare ampersand
      {"<a x='1' x='2'/>", false},     // an attribute twice
      {"<a></a><b></b>", false},       // two roots
      {"<a><![CDATA[x]]</a>", false},  // an unclosed section
      {"<p:a xmlns:q='u'/>", false},   // an undeclared prefix
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Parse(row.text).error.empty(), row.wellFormed) << row.text;
  }
}

TEST(EventForwarding, TheSubscriptionForwardsTheServicesEntriesFromEveryTill) {
  const std::string text = ReadWhole(kSubscriptionFile);
  ASSERT_FALSE(text.empty()) << kSubscriptionFile << " is missing or empty";
  const ParseResult document = Parse(text);
  ASSERT_TRUE(document.error.empty()) << kSubscriptionFile << " is not well-formed: " << document.error;
  const std::string ns = std::string(kSubscriptionNamespace) + "|";
  const Element& subscription = *document.root;
  ASSERT_EQ(subscription.name, ns + "Subscription") << "wecutil reads only a Subscription in its namespace";

  // The fields wecutil cs needs, and the values that decide what the
  // collector gets and how it can show it.
  const std::map<std::string, std::string> fields = {
      {"SubscriptionId", "spoolsync"},
      {"SubscriptionType", "SourceInitiated"},
      {"Enabled", "true"},
      {"Uri", "http://schemas.microsoft.com/wbem/wsman/1/windows/EventLog"},
      {"ContentFormat", "RenderedText"},
      {"LogFile", "ForwardedEvents"},
  };
  for (const auto& [field, value] : fields) {
    EXPECT_EQ(subscription.ChildText(ns + field), value) << field;
  }
  // A source-initiated subscription is pushed by the sources and says which
  // computers may send; without an allowed group no till can.
  const Element* delivery = subscription.Child(ns + "Delivery");
  ASSERT_NE(delivery, nullptr);
  EXPECT_EQ(delivery->attributes.count("Mode") ? delivery->attributes.at("Mode") : "", "Push");
  const std::string allowed = subscription.ChildText(ns + "AllowedSourceDomainComputers");
  EXPECT_EQ(allowed.rfind("O:", 0), 0u) << "an SDDL security descriptor: " << allowed;
  EXPECT_NE(allowed.find("(A;;GA;;;DC)"), std::string::npos) << "Domain Computers may forward: " << allowed;

  // The query is an XML document of its own inside the Query element.
  const ParseResult query = Parse(subscription.ChildText(ns + "Query"));
  ASSERT_TRUE(query.error.empty()) << "the Query's QueryList is not well-formed: " << query.error;
  ASSERT_EQ(query.root->name, "QueryList");
  ASSERT_EQ(query.root->children.size(), 1u) << "one query: the service's entries";
  const Element& entries = *query.root->children.front();
  EXPECT_EQ(entries.name, "Query");
  EXPECT_EQ(entries.attributes.count("Path") ? entries.attributes.at("Path") : "", "Application");
  ASSERT_EQ(entries.children.size(), 1u) << "one Select, no Suppress";
  const Element& select = *entries.children.front();
  EXPECT_EQ(select.name, "Select");
  EXPECT_EQ(select.attributes.count("Path") ? select.attributes.at("Path") : "", "Application");
  EXPECT_EQ(select.text, "*[System[Provider[@Name='" + Narrow(kEventSourceName) + "']]]")
      << "every entry of the service's source, whatever its level or id";
}

// The guide's section for fleets, from its heading to the next one.
std::string FleetSection() {
  const std::string guide = ReadWhole(kGuideFile);
  const std::size_t start = guide.find("\n## A fleet of tills\n");
  if (start == std::string::npos) return {};
  const std::size_t end = guide.find("\n## ", start + 1);
  return guide.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The fleet's commands name the service, the queue, the source and the
// subscription as the code and the shipped file have them: a name changed
// on one side fails here.
TEST(EventForwarding, TheGuidesFleetCommandsNameWhatTheServiceUses) {
  const std::string section = FleetSection();
  ASSERT_FALSE(section.empty()) << kGuideFile << " has no section \"## A fleet of tills\"";
  const ParseResult document = Parse(ReadWhole(kSubscriptionFile));
  ASSERT_TRUE(document.error.empty()) << document.error;
  const std::string ns = std::string(kSubscriptionNamespace) + "|";
  const std::string subscriptionId = document.root->ChildText(ns + "SubscriptionId");
  const std::string source = Narrow(kEventSourceName);
  const std::string service = Narrow(std::wstring_view(kDispatchServiceName));
  const std::string expected[] = {
      "Get-Service -Name " + service,
      std::string("Get-Printer -Name ") + kModelName,
      "LogName = 'Application'; ProviderName = '" + source + "'",
      "LogName = 'ForwardedEvents'; ProviderName = '" + source + "'",
      "windows/spoolsync-subscription.xml",
      "wecutil cs spoolsync-subscription.xml",
      "wecutil gr " + subscriptionId,
  };
  for (const std::string& text : expected) {
    EXPECT_NE(section.find(text), std::string::npos) << "the guide's fleet section does not say: " << text;
  }
}

}  // namespace
