#include "sim_runner/timeline.h"

#include <cstdio>

namespace simrunner {

namespace {

// Wide enough for the longest tag, so the texts line up.
constexpr int kTagWidth = 7;

}  // namespace

std::string FormatTime(std::int64_t millis) {
  const bool negative = millis < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(millis) : static_cast<std::uint64_t>(millis);
  char text[40];
  std::snprintf(text, sizeof text, "%s%llu.%03llu", negative ? "-" : "",
                static_cast<unsigned long long>(magnitude / 1000), static_cast<unsigned long long>(magnitude % 1000));
  char padded[48];
  std::snprintf(padded, sizeof padded, "%8s", text);
  return padded;
}

std::string_view ChannelTag(sim::TraceEntry::Channel channel) {
  using Channel = sim::TraceEntry::Channel;
  switch (channel) {
    case Channel::Debug:
      return "debug";
    case Channel::Stdout:
      return "stdout";
    case Channel::Spooler:
      return "spool";
    case Channel::Service:
      return "service";
    case Channel::Scm:
      return "scm";
    case Channel::Device:
      return "usb";
    case Channel::Process:
      return "process";
    case Channel::Fault:
      return "fault";
    case Channel::Event:
      return "event";
  }
  return "?";
}

std::string PrintableText(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(byte));
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string TimelineLine(std::int64_t millis, std::string_view tag, std::string_view text) {
  std::string line = FormatTime(millis);
  line += "  ";
  line += tag;
  if (tag.size() < static_cast<std::size_t>(kTagWidth)) line.append(kTagWidth - tag.size(), ' ');
  line += "  ";
  line += text;
  return line;
}

std::string TimelineLine(const sim::TraceEntry& entry) {
  return TimelineLine(entry.time, ChannelTag(entry.channel), PrintableText(entry.text));
}

std::string CheckText(std::string_view check, const std::optional<std::string>& found) {
  return std::string(check) + (found ? "  -> FAILED, found " + *found : "  -> ok");
}

std::string DescribeError(std::uint32_t error) {
  const char* name = nullptr;
  switch (error) {
    case ERROR_INVALID_SERVICE_CONTROL:
      name = "ERROR_INVALID_SERVICE_CONTROL";
      break;
    case ERROR_SERVICE_REQUEST_TIMEOUT:
      name = "ERROR_SERVICE_REQUEST_TIMEOUT";
      break;
    case ERROR_SERVICE_ALREADY_RUNNING:
      name = "ERROR_SERVICE_ALREADY_RUNNING";
      break;
    case ERROR_SERVICE_DOES_NOT_EXIST:
      name = "ERROR_SERVICE_DOES_NOT_EXIST";
      break;
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
      name = "ERROR_SERVICE_CANNOT_ACCEPT_CTRL";
      break;
    case ERROR_SERVICE_NOT_ACTIVE:
      name = "ERROR_SERVICE_NOT_ACTIVE";
      break;
    default:
      break;
  }
  std::string text = "error " + std::to_string(error);
  if (name != nullptr) text += std::string(" (") + name + ")";
  return text;
}

}  // namespace simrunner
