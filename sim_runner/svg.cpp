#include "sim_runner/svg.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "sim_runner/timeline.h"

namespace simrunner {

namespace {

// Geometry, in pixels. Text is 11 px monospace, about 7 px a character.
constexpr int kCharWidth = 7;
constexpr int kMargin = 10;
constexpr int kTitleBaseline = 20;
constexpr int kLanesTop = 34;
constexpr int kLaneHeight = 20;
constexpr int kLanePitch = 26;
constexpr int kTextBaseline = 14;  // below a lane's top
constexpr int kPlotWidth = 1000;
// The column of the states the lanes ended in, right of the time axis.
constexpr int kEndGap = 16;
constexpr int kEndWidth = 98;
constexpr std::size_t kLongestLabel = 40;
constexpr int kLegendPitch = 18;
constexpr int kSwatch = 10;

constexpr char kFont[] = "DejaVu Sans Mono, monospace";
constexpr char kLaneBack[] = "#f5f5f5";
constexpr char kEventMark[] = "#37474f";
constexpr char kCheckMark[] = "#43a047";
constexpr char kFailedMark[] = "#d32f2f";
constexpr char kFailedCount[] = "#e57373";

// Text as XML character data or attribute value: markup characters as
// references; control bytes (but line ends) and bytes from 0x7F on written
// as \xHH, as the timeline writes them, so the document is always
// well-formed ASCII.
std::string Xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if ((byte < 0x20 && c != '\n') || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(byte));
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Hundredths of a pixel as a number: 12345 -> "123.45", 12300 -> "123".
std::string Px(std::int64_t hundredths) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

std::string Seconds(std::int64_t ms) {
  const std::string time = FormatTime(ms);
  return time.substr(time.find_first_not_of(' ')) + " s";
}

struct Layout {
  int plotLeft = 0;
  std::int64_t spanMs = 1;
  int width = 0;
  int axisY = 0;
  int legendTop = 0;  // the first legend row's baseline
  int height = 0;

  // The x of a virtual time, in hundredths of a pixel.
  [[nodiscard]] std::int64_t X(std::int64_t ms) const {
    return plotLeft * 100LL + (ms * kPlotWidth * 100 + spanMs / 2) / spanMs;
  }
  [[nodiscard]] static int LaneTop(std::size_t lane) { return kLanesTop + static_cast<int>(lane) * kLanePitch; }
  [[nodiscard]] int EndLeft() const { return plotLeft + kPlotWidth + kEndGap; }
};

std::string Label(const Lane& lane) {
  if (lane.label.size() <= kLongestLabel) return lane.label;
  return lane.label.substr(0, kLongestLabel - 3) + "...";
}

Layout MakeLayout(const Picture& picture) {
  std::size_t longest = 0;
  for (const Lane& lane : picture.lanes) longest = std::max(longest, Label(lane).size());
  Layout layout;
  layout.plotLeft = kMargin + static_cast<int>(longest) * kCharWidth + 12;
  layout.spanMs = std::max<std::int64_t>(picture.endMs, 1);
  layout.width = layout.EndLeft() + kEndWidth + kMargin;
  layout.axisY = Layout::LaneTop(picture.lanes.size());
  layout.legendTop = layout.axisY + 42;
  layout.height = layout.legendTop + static_cast<int>(picture.legend.size()) * kLegendPitch;
  return layout;
}

// The step between two ticks: at most ten ticks on the axis.
std::int64_t TickStep(std::int64_t spanMs) {
  constexpr std::int64_t kSteps[] = {1,      2,      5,       10,      20,      50,       100,      200,      500,
                                     1000,   2000,   5000,    10000,   15000,   30000,    60000,    120000,   300000,
                                     600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000, 86400000};
  for (const std::int64_t step : kSteps) {
    if (spanMs / step <= 10) return step;
  }
  std::int64_t step = kSteps[std::size(kSteps) - 1];
  while (spanMs / step > 10) step *= 2;
  return step;
}

// A tick's label, in the unit of the step: "12 s", "0.5 s", "10 min", "2 h".
std::string TickLabel(std::int64_t ms, std::int64_t step) {
  if (step % 3600000 == 0) return std::to_string(ms / 3600000) + " h";
  if (step % 60000 == 0) return std::to_string(ms / 60000) + " min";
  if (step % 1000 == 0) return std::to_string(ms / 1000) + " s";
  std::string seconds = Seconds(ms);  // "0.500 s"
  seconds.resize(seconds.size() - 2);
  while (seconds.back() == '0') seconds.pop_back();
  if (seconds.back() == '.') seconds.pop_back();
  return seconds + " s";
}

void Axis(std::string& svg, const Layout& layout, int gridTop) {
  const std::int64_t step = TickStep(layout.spanMs);
  svg += "<g class=\"grid\" stroke=\"#dddddd\">\n";
  for (std::int64_t ms = 0; ms <= layout.spanMs; ms += step) {
    const std::string x = Px(layout.X(ms));
    svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(gridTop) + "\" x2=\"" + x + "\" y2=\"" +
           std::to_string(layout.axisY) + "\"/>\n";
  }
  svg += "</g>\n<g class=\"axis\" stroke=\"#616161\">\n";
  svg += "<line x1=\"" + Px(layout.X(0)) + "\" y1=\"" + std::to_string(layout.axisY) + "\" x2=\"" +
         Px(layout.X(layout.spanMs)) + "\" y2=\"" + std::to_string(layout.axisY) + "\"/>\n";
  for (std::int64_t ms = 0; ms <= layout.spanMs; ms += step) {
    const std::string x = Px(layout.X(ms));
    svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(layout.axisY) + "\" x2=\"" + x + "\" y2=\"" +
           std::to_string(layout.axisY + 5) + "\"/>\n";
    svg += "<text class=\"tick\" x=\"" + x + "\" y=\"" + std::to_string(layout.axisY + 17) +
           "\" stroke=\"none\" text-anchor=\"middle\" data-at-ms=\"" + std::to_string(ms) + "\">" +
           TickLabel(ms, step) + "</text>\n";
  }
  svg += "</g>\n<text x=\"" + std::to_string(layout.EndLeft() + kEndWidth / 2) + "\" y=\"" +
         std::to_string(layout.axisY + 17) + "\" text-anchor=\"middle\">at the end</text>\n";
}

void DrawBand(std::string& svg, const Layout& layout, const Lane& lane, const Band& band, int top) {
  const std::int64_t x = layout.X(band.fromMs);
  const std::int64_t width = std::max<std::int64_t>(layout.X(band.toMs) - x, 100);
  std::string title = lane.label + ": " + band.state;
  if (!band.detail.empty()) title += " (" + band.detail + ")";
  title += ", from " + Seconds(band.fromMs) + " to " + Seconds(band.toMs);
  svg += "<g class=\"band\" data-from-ms=\"" + std::to_string(band.fromMs) + "\" data-to-ms=\"" +
         std::to_string(band.toMs) + "\" data-state=\"" + Xml(band.state) + "\">\n<title>" + Xml(title) +
         "</title>\n<rect x=\"" + Px(x) + "\" y=\"" + std::to_string(top) + "\" width=\"" + Px(width) + "\" height=\"" +
         std::to_string(kLaneHeight) + "\" fill=\"" + band.fill + "\"/>\n";
  // The words where they fit, else the brief form, else nothing (the title
  // still tells).
  const auto fits = [width](const std::string& text) {
    return static_cast<std::int64_t>(text.size()) * kCharWidth * 100 + 600 <= width;
  };
  const std::string& words = fits(band.state) ? band.state : band.brief;
  if (fits(words)) {
    svg +=
        "<text x=\"" + Px(x + 300) + "\" y=\"" + std::to_string(top + kTextBaseline) + "\">" + Xml(words) + "</text>\n";
  }
  svg += "</g>\n";
}

void DrawEndState(std::string& svg, const Layout& layout, const Lane& lane, const Band& end, int top) {
  const std::string title = lane.label + " at the end (" + Seconds(end.toMs) + "): " + end.state +
                            (end.detail.empty() ? "" : " (" + end.detail + ")") + ", since " + Seconds(end.fromMs);
  svg += "<g class=\"end-state\" data-from-ms=\"" + std::to_string(end.fromMs) + "\" data-state=\"" + Xml(end.state) +
         "\">\n<title>" + Xml(title) + "</title>\n<rect x=\"" + std::to_string(layout.EndLeft()) + "\" y=\"" +
         std::to_string(top) + "\" width=\"" + std::to_string(kEndWidth) + "\" height=\"" +
         std::to_string(kLaneHeight) + "\" fill=\"" + end.fill + "\"/>\n";
  const auto fits = [](const std::string& text) { return static_cast<int>(text.size()) * kCharWidth + 6 <= kEndWidth; };
  const std::string& words = fits(end.state) ? end.state : end.brief;
  if (fits(words)) {
    svg += "<text x=\"" + std::to_string(layout.EndLeft() + 3) + "\" y=\"" + std::to_string(top + kTextBaseline) +
           "\">" + Xml(words) + "</text>\n";
  }
  svg += "</g>\n";
}

void DrawMark(std::string& svg, const Layout& layout, const Lane& lane, const Mark& mark, int top) {
  const bool failed = lane.kind == "failed-checks";
  const int width = failed ? 3 : 2;
  const int height = failed || mark.hasEvents ? kLaneHeight : kLaneHeight / 2;
  const char* fill = failed ? kFailedMark : mark.hasEvents ? kEventMark : kCheckMark;
  std::string title;
  for (const std::string& line : mark.lines) title += (title.empty() ? "" : "\n") + line;
  svg += "<g class=\"mark\" data-at-ms=\"" + std::to_string(mark.atMs) + "\" data-steps=\"" +
         std::to_string(mark.lines.size()) + "\">\n<title>" + Xml(title) + "</title>\n<rect x=\"" +
         Px(layout.X(mark.atMs) - width * 50) + "\" y=\"" + std::to_string(top + kLaneHeight - height) + "\" width=\"" +
         std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"" + fill + "\"/>\n</g>\n";
}

// How many steps a marks lane has, in the column at the end.
void DrawEndCount(std::string& svg, const Layout& layout, const Lane& lane, int top) {
  std::size_t count = 0;
  for (const Mark& mark : lane.marks) count += mark.lines.size();
  const bool failed = lane.kind == "failed-checks";
  const std::string words = count == 0 && failed ? "none" : std::to_string(count) + (failed ? " failed" : " steps");
  svg += "<g class=\"end-count\" data-count=\"" + std::to_string(count) + "\">\n<title>" + Xml(lane.label) + ": " +
         words + " in all</title>\n<rect x=\"" + std::to_string(layout.EndLeft()) + "\" y=\"" + std::to_string(top) +
         "\" width=\"" + std::to_string(kEndWidth) + "\" height=\"" + std::to_string(kLaneHeight) + "\" fill=\"" +
         (failed && count > 0 ? kFailedCount : kLaneBack) + "\"/>\n<text x=\"" + std::to_string(layout.EndLeft() + 3) +
         "\" y=\"" + std::to_string(top + kTextBaseline) + "\">" + words + "</text>\n</g>\n";
}

void DrawLane(std::string& svg, const Layout& layout, const Lane& lane, std::size_t index) {
  const int top = Layout::LaneTop(index);
  svg += "<g class=\"lane\" data-lane=\"" + lane.kind + "\" data-subject=\"" + Xml(lane.subject) + "\">\n<title>" +
         Xml(lane.label) + "</title>\n";
  svg += "<text class=\"lane-label\" x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(top + kTextBaseline) +
         "\">" + Xml(Label(lane)) + "</text>\n";
  svg += "<rect class=\"lane-back\" x=\"" + std::to_string(layout.plotLeft) + "\" y=\"" + std::to_string(top) +
         "\" width=\"" + std::to_string(kPlotWidth) + "\" height=\"" + std::to_string(kLaneHeight) + "\" fill=\"" +
         kLaneBack + "\"/>\n";
  for (const Band& band : lane.bands) DrawBand(svg, layout, lane, band, top);
  if (lane.atEnd) DrawEndState(svg, layout, lane, *lane.atEnd, top);
  for (const Mark& mark : lane.marks) DrawMark(svg, layout, lane, mark, top);
  if (!lane.atEnd) DrawEndCount(svg, layout, lane, top);
  svg += "</g>\n";
}

void DrawLegend(std::string& svg, const Layout& layout, const std::vector<std::vector<LegendGroup>>& legend) {
  svg += "<g class=\"legend\">\n";
  for (std::size_t row = 0; row < legend.size(); ++row) {
    const int baseline = layout.legendTop + static_cast<int>(row) * kLegendPitch;
    int x = kMargin;
    for (const LegendGroup& group : legend[row]) {
      svg += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(baseline) + "\">" + Xml(group.heading) +
             ":</text>\n";
      x += static_cast<int>(group.heading.size() + 2) * kCharWidth;
      for (const LegendGroup::Entry& entry : group.entries) {
        svg += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(baseline - kSwatch + 1) + "\" width=\"" +
               std::to_string(kSwatch) + "\" height=\"" + std::to_string(kSwatch) + "\" fill=\"" + entry.fill +
               "\"/>\n<text x=\"" + std::to_string(x + kSwatch + 4) + "\" y=\"" + std::to_string(baseline) + "\">" +
               Xml(entry.words) + "</text>\n";
        x += kSwatch + 4 + static_cast<int>(entry.words.size() + 2) * kCharWidth;
      }
      x += 2 * kCharWidth;
    }
  }
  svg += "</g>\n";
}

}  // namespace

std::string RenderSvg(const Picture& picture) {
  const Layout layout = MakeLayout(picture);
  const std::string width = std::to_string(layout.width);
  const std::string height = std::to_string(layout.height);
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + width + "\" height=\"" + height + "\" viewBox=\"0 0 " +
         width + " " + height + "\" font-family=\"" + kFont + "\" font-size=\"11\" data-end-ms=\"" +
         std::to_string(picture.endMs) + "\">\n";
  svg += "<title>" + Xml(picture.title) + "</title>\n";
  svg += "<rect width=\"" + width + "\" height=\"" + height + "\" fill=\"#ffffff\"/>\n";
  svg += "<text class=\"picture-title\" x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(kTitleBaseline) +
         "\" font-size=\"13\" font-weight=\"bold\">" + Xml(picture.title) + "</text>\n";
  Axis(svg, layout, kLanesTop - 4);
  for (std::size_t i = 0; i < picture.lanes.size(); ++i) DrawLane(svg, layout, picture.lanes[i], i);
  DrawLegend(svg, layout, picture.legend);
  svg += "</svg>\n";
  return svg;
}

}  // namespace simrunner
