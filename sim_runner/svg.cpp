#include "sim_runner/svg.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

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
// The time axis: a second a pixel, from 1000 px (a short run) up to 12000
// px (an 8-hour shift; longer runs are squeezed into that, and
// --svg-window draws a part of them at full width).
constexpr int kNarrowestPlot = 1000;
constexpr int kWidestPlot = 12000;
constexpr std::int64_t kMsPerPixel = 1000;
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
  int plotWidth = kNarrowestPlot;
  std::int64_t fromMs = 0;
  std::int64_t spanMs = 1;
  int width = 0;
  int axisY = 0;
  int legendTop = 0;  // the first legend row's baseline
  int height = 0;

  // The x of a virtual time, in hundredths of a pixel.
  [[nodiscard]] std::int64_t X(std::int64_t ms) const {
    return plotLeft * 100LL + ((ms - fromMs) * plotWidth * 100 + spanMs / 2) / spanMs;
  }
  // A stretch's part inside the window, or nothing when it lies outside.
  [[nodiscard]] std::optional<std::pair<std::int64_t, std::int64_t>> Clip(std::int64_t from, std::int64_t to) const {
    const std::int64_t left = std::max(from, fromMs);
    const std::int64_t right = std::min(to, fromMs + spanMs);
    if (right <= left && !(from == to && from >= fromMs && from <= fromMs + spanMs)) return std::nullopt;
    return std::make_pair(left, right);
  }
  [[nodiscard]] static int LaneTop(std::size_t lane) { return kLanesTop + static_cast<int>(lane) * kLanePitch; }
  [[nodiscard]] int EndLeft() const { return plotLeft + plotWidth + kEndGap; }
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
  layout.fromMs = picture.fromMs;
  layout.spanMs = std::max<std::int64_t>(picture.toMs.value_or(picture.endMs) - picture.fromMs, 1);
  layout.plotWidth =
      static_cast<int>(std::clamp<std::int64_t>(layout.spanMs / kMsPerPixel, kNarrowestPlot, kWidestPlot));
  layout.width = layout.EndLeft() + kEndWidth + kMargin;
  layout.axisY = Layout::LaneTop(picture.lanes.size());
  layout.legendTop = layout.axisY + 42;
  layout.height = layout.legendTop + static_cast<int>(picture.legend.size()) * kLegendPitch;
  return layout;
}

// The step between two ticks: at most `ticks` on the axis.
std::int64_t TickStep(std::int64_t spanMs, std::int64_t ticks) {
  constexpr std::int64_t kSteps[] = {1,      2,      5,       10,      20,      50,       100,      200,      500,
                                     1000,   2000,   5000,    10000,   15000,   30000,    60000,    120000,   300000,
                                     600000, 900000, 1800000, 3600000, 7200000, 10800000, 21600000, 43200000, 86400000};
  for (const std::int64_t step : kSteps) {
    if (spanMs / step <= ticks) return step;
  }
  std::int64_t step = kSteps[std::size(kSteps) - 1];
  while (spanMs / step > ticks) step *= 2;
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

// The ticks: the multiples of the step inside the window, one every 100 px
// at most, however wide the picture is.
std::int64_t AxisStep(const Layout& layout) { return TickStep(layout.spanMs, layout.plotWidth / 100); }

void Axis(std::string& svg, const Layout& layout, int gridTop) {
  const std::int64_t step = AxisStep(layout);
  const std::int64_t first = (layout.fromMs + step - 1) / step * step;
  const std::int64_t last = layout.fromMs + layout.spanMs;
  svg += "<g class=\"grid\" stroke=\"#dddddd\">\n";
  for (std::int64_t ms = first; ms <= last; ms += step) {
    const std::string x = Px(layout.X(ms));
    svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(gridTop) + "\" x2=\"" + x + "\" y2=\"" +
           std::to_string(layout.axisY) + "\"/>\n";
  }
  svg += "</g>\n<g class=\"axis\" stroke=\"#616161\">\n";
  svg += "<line x1=\"" + Px(layout.X(layout.fromMs)) + "\" y1=\"" + std::to_string(layout.axisY) + "\" x2=\"" +
         Px(layout.X(last)) + "\" y2=\"" + std::to_string(layout.axisY) + "\"/>\n";
  for (std::int64_t ms = first; ms <= last; ms += step) {
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

// A band's name as it fits in `width` hundredths of a pixel: its words, or
// the first of them and "..." (so a status reads the same in every band),
// or its brief form; empty where not even that fits.
std::string FittingName(const Band& band, std::int64_t width) {
  const auto fits = [width](std::size_t characters) {
    return static_cast<std::int64_t>(characters) * kCharWidth * 100 + 600 <= width;
  };
  if (fits(band.state.size())) return band.state;
  constexpr std::size_t kShortestCut = 3;
  std::size_t characters = band.state.size();
  while (characters > kShortestCut && !fits(characters)) --characters;
  if (fits(characters) && characters > kShortestCut) return band.state.substr(0, characters - 3) + "...";
  if (fits(band.brief.size())) return band.brief;
  return "";
}

void DrawBand(std::string& svg, const Layout& layout, const Lane& lane, const Band& band, int top) {
  const auto drawn = layout.Clip(band.fromMs, band.toMs);
  if (!drawn) return;
  const std::int64_t x = layout.X(drawn->first);
  const std::int64_t width = std::max<std::int64_t>(layout.X(drawn->second) - x, 100);
  std::string title = lane.label + ": " + band.state;
  if (!band.detail.empty()) title += " (" + band.detail + ")";
  title += ", from " + Seconds(band.fromMs) + " to " + Seconds(band.toMs);
  svg += "<g class=\"band\" data-from-ms=\"" + std::to_string(band.fromMs) + "\" data-to-ms=\"" +
         std::to_string(band.toMs) + "\" data-state=\"" + Xml(band.state) + "\">\n<title>" + Xml(title) +
         "</title>\n<rect x=\"" + Px(x) + "\" y=\"" + std::to_string(top) + "\" width=\"" + Px(width) + "\" height=\"" +
         std::to_string(kLaneHeight) + "\" fill=\"" + band.fill + "\"/>\n";
  // Where no name fits, a mark above the band says there is one, in its
  // hover title.
  const std::string name = FittingName(band, width);
  if (!name.empty()) {
    svg += "<text class=\"band-name\" x=\"" + Px(x + 300) + "\" y=\"" + std::to_string(top + kTextBaseline) + "\">" +
           Xml(name) + "</text>\n";
  } else {
    svg += "<rect class=\"band-mark\" x=\"" + Px(x + width / 2 - 100) + "\" y=\"" + std::to_string(top - 3) +
           "\" width=\"2\" height=\"6\" fill=\"" + kEventMark + "\"/>\n";
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
  if (!layout.Clip(mark.atMs, mark.atMs)) return;
  const bool failed = lane.kind == "failed-checks";
  const bool own = !mark.fill.empty();  // an event log entry, a Spooler restart
  const int width = failed || own ? 3 : 2;
  const int height = failed || own || mark.hasEvents ? kLaneHeight : kLaneHeight / 2;
  const std::string fill = own ? mark.fill : failed ? kFailedMark : mark.hasEvents ? kEventMark : kCheckMark;
  std::string title;
  for (const std::string& line : mark.lines) title += (title.empty() ? "" : "\n") + line;
  std::string attributes =
      " data-at-ms=\"" + std::to_string(mark.atMs) + "\" data-steps=\"" + std::to_string(mark.lines.size()) + "\"";
  if (!mark.eventId.empty()) {
    attributes += " data-event-id=\"" + mark.eventId + "\" data-event-type=\"" + Xml(mark.eventType) + "\"";
  }
  const std::int64_t x = layout.X(mark.atMs) - width * 50;
  svg += "<g class=\"mark\"" + attributes + ">\n<title>" + Xml(title) + "</title>\n<rect x=\"" + Px(x) + "\" y=\"" +
         std::to_string(top + kLaneHeight - height) + "\" width=\"" + std::to_string(width) + "\" height=\"" +
         std::to_string(height) + "\" fill=\"" + fill + "\"/>\n";
  if (!mark.label.empty()) {
    // On a lane of bands (the Spooler's) the label goes left of the mark, on
    // a ground of its own, clear of the name of the band after it.
    const bool onBands = !lane.bands.empty();
    const auto textWidth = static_cast<std::int64_t>(mark.label.size()) * kCharWidth * 100;
    const std::int64_t left = onBands ? x - 300 - textWidth : x + width * 100 + 200;
    if (onBands) {
      svg += "<rect class=\"mark-ground\" x=\"" + Px(left - 200) + "\" y=\"" + std::to_string(top + 3) + "\" width=\"" +
             Px(textWidth + 400) + "\" height=\"" + std::to_string(kLaneHeight - 6) + "\" fill=\"#ffffff\"/>\n";
    }
    svg += "<text class=\"mark-label\" x=\"" + Px(left) + "\" y=\"" + std::to_string(top + kTextBaseline) + "\">" +
           Xml(mark.label) + "</text>\n";
  }
  svg += "</g>\n";
}

// How many steps a marks lane has, in the column at the end.
void DrawEndCount(std::string& svg, const Layout& layout, const Lane& lane, int top) {
  std::size_t count = 0;
  for (const Mark& mark : lane.marks) count += mark.lines.size();
  const bool failed = lane.kind == "failed-checks";
  const bool events = lane.kind == "event-log";
  const std::string words = count == 0 && (failed || events) ? "none"
                                                             : std::to_string(count) + (failed   ? " failed"
                                                                                        : events ? " entries"
                                                                                                 : " steps");
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
         "\" width=\"" + std::to_string(layout.plotWidth) + "\" height=\"" + std::to_string(kLaneHeight) +
         "\" fill=\"" + kLaneBack + "\"/>\n";
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
