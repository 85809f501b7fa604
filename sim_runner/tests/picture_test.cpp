#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "sim_runner/parser.h"
#include "sim_runner/picture.h"
#include "sim_runner/runner.h"
#include "sim_runner/svg.h"
#include "sim_runner/tests/xml_reader.h"

namespace simrunner {
namespace {

// The cover opened and closed, an unplug, and the printer plugged into
// another socket, whose port the queue moves to; the Spooler takes its time
// to stop and start, and the service is stopped at the end.
constexpr char kCoverUnplugRebind[] = R"(
queue KX310MQ47H port=USB001
port USB001 device-id=USB\VID_0483&PID_5741\5&1A2B3C&0&1
port USB002 device-id=USB\VID_0483&PID_5741\5&1A2B3C&0&2
device \\?\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed} as socket1 description=KX310MQ47H status=paper
device \\?\USB#VID_0483&PID_5741#5&1A2B3C&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed} as socket2 description=KX310MQ47H status=paper
spooler stop-time 500ms
spooler start-time 1s
plug socket1
service start
wait 2500ms
status socket1 paper+cover-open
wait 2s
expect queue KX310MQ47H paused=yes status=door-open
status socket1 paper
wait 2s
unplug socket1
wait 3s
expect queue KX310MQ47H paused=yes status=offline
plug socket2
wait 5s
expect queue KX310MQ47H paused=no status=0 port=USB002
expect spooler-restarts 1
service stop
wait 1s
expect service stopped
)";

constexpr char kSocket1[] = R"(\\?\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";
constexpr char kSocket2[] = R"(\\?\USB#VID_0483&PID_5741#5&1A2B3C&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";

std::string Picture(const std::string& scenarioText, std::optional<std::uint64_t> seed = std::nullopt) {
  const Scenario scenario = ParseScenario(scenarioText);
  EXPECT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  std::string picture;
  std::ostringstream timeline;
  RunScenario(scenario, {"folder/t.scenario", true, seed, &picture}, timeline);
  return picture;
}

// The picture without its grid and axis groups: what its lanes take.
std::string WithoutAxis(std::string svg) {
  for (const char* group : {"<g class=\"grid\"", "<g class=\"axis\""}) {
    const std::size_t from = svg.find(group);
    const std::size_t to = from == std::string::npos ? from : svg.find("</g>\n", from);
    EXPECT_NE(to, std::string::npos) << group;
    if (to != std::string::npos) svg.erase(from, to + 5 - from);
  }
  return svg;
}

xml::Element ParseSvg(const std::string& svg) {
  const xml::Document document = xml::Parse(svg);
  EXPECT_TRUE(document.root.has_value()) << document.error;
  return document.root.value_or(xml::Element{});
}

// A lane of the picture by its kind and subject.
const xml::Element* FindLane(const xml::Element& root, std::string_view kind, std::string_view subject) {
  const xml::Element* found = nullptr;
  root.ForEach([&](const xml::Element& element) {
    if (element.Attribute("class") == "lane" && element.Attribute("data-lane") == kind &&
        element.Attribute("data-subject") == subject) {
      found = &element;
    }
  });
  return found;
}

struct BandRead {
  std::int64_t fromMs;
  std::int64_t toMs;
  std::string state;
  bool operator==(const BandRead&) const = default;
};

std::ostream& operator<<(std::ostream& out, const BandRead& band) {
  return out << "[" << band.fromMs << ", " << band.toMs << ") " << band.state;
}

std::vector<BandRead> Bands(const xml::Element& lane) {
  std::vector<BandRead> bands;
  for (const xml::Element& child : lane.children) {
    if (child.Attribute("class") != "band") continue;
    bands.push_back({std::stoll(child.Attribute("data-from-ms").value_or("-1")),
                     std::stoll(child.Attribute("data-to-ms").value_or("-1")),
                     child.Attribute("data-state").value_or("")});
  }
  return bands;
}

std::vector<const xml::Element*> Marks(const xml::Element& lane) {
  std::vector<const xml::Element*> marks;
  for (const xml::Element& child : lane.children) {
    if (child.Attribute("class") == "mark") marks.push_back(&child);
  }
  return marks;
}

// The count in the column at the end of a marks lane.
std::optional<std::string> EndCount(const xml::Element& lane) {
  for (const xml::Element& child : lane.children) {
    if (child.Attribute("class") == "end-count") return child.Attribute("data-count");
  }
  return std::nullopt;
}

// The hover title of an element: its <title> child.
std::string TitleOf(const xml::Element& element) {
  for (const xml::Element& child : element.children) {
    if (child.name == "title") return child.text;
  }
  return "";
}

TEST(XmlReader, RefusesWhatIsNotWellFormed) {
  struct Row {
    const char* text;
    const char* why;
  };
  const Row kRows[] = {
      {"<a><b></a></b>", "</a> closes <b>"},
      {"<a>", "not closed"},
      {"<a>x & y</a>", "bare &"},
      {"<a>&nbsp;</a>", "unknown entity"},
      {R"(<a x="1" x="2"/>)", "given twice"},
      {R"(<a x="<"/>)", "< in an attribute value"},
      {"<a x=1/>", "not quoted"},
      {R"(<a x="1"y="2"/>)", "blank expected"},
      {"<a/><b/>", "content after the root element"},
      {"<a/>text", "content after the root element"},
      {"", "no root element"},
      {"<1a/>", "a name was expected"},
      {"<a>\x01</a>", "does not allow"},
  };
  for (const Row& row : kRows) {
    const xml::Document document = xml::Parse(row.text);
    EXPECT_FALSE(document.root.has_value()) << row.text;
    EXPECT_NE(document.error.find(row.why), std::string::npos) << row.text << ": " << document.error;
  }
}

TEST(XmlReader, ReadsElementsAttributesAndReferences) {
  const xml::Document document =
      xml::Parse("<?xml version=\"1.0\"?>\n<!-- c -->\n<a k=\"x &amp; &#60;y&#x3E;\"><b/>t&lt;<c k='v'>u</c></a>\n");
  ASSERT_TRUE(document.root.has_value()) << document.error;
  EXPECT_EQ(document.root->Attribute("k"), "x & <y>");
  ASSERT_EQ(document.root->children.size(), 2u);
  EXPECT_EQ(document.root->children[1].Attribute("k"), "v");
  EXPECT_EQ(document.root->children[1].text, "u");
  EXPECT_EQ(document.root->text, "t<");
}

TEST(Picture, IsWellFormedAndSelfContained) {
  // Markup characters, a byte beyond ASCII, a tab and a failing check in the
  // texts the picture carries.
  const std::string svg = Picture(std::string(kCoverUnplugRebind) +
                                  "expect log \"<&> caf\xC3\xA9\tq\"\n"
                                  "expect queue KX310MQ47H port=\"USB&<>\"\n");
  const xml::Element root = ParseSvg(svg);
  EXPECT_EQ(root.name, "svg");
  EXPECT_EQ(root.Attribute("xmlns"), "http://www.w3.org/2000/svg");
  // Nothing that runs or loads: only these elements, no links, no styles
  // from elsewhere.
  const std::set<std::string> drawn = {"svg", "title", "g", "rect", "line", "text"};
  root.ForEach([&](const xml::Element& element) {
    EXPECT_TRUE(drawn.contains(element.name)) << element.name;
    for (const auto& [name, value] : element.attributes) {
      EXPECT_EQ(name.find("href"), std::string::npos) << name;
      EXPECT_EQ(value.find("url("), std::string::npos) << name << "=" << value;
    }
  });
  // The failing checks are marked, with their timeline lines.
  const xml::Element* failed = FindLane(root, "failed-checks", "");
  ASSERT_NE(failed, nullptr);
  ASSERT_EQ(Marks(*failed).size(), 1u);  // one for both
  EXPECT_EQ(EndCount(*failed), "2");
  const xml::Element& mark = *Marks(*failed)[0];
  EXPECT_EQ(mark.Attribute("data-at-ms"), "15500");
  EXPECT_EQ(mark.Attribute("data-steps"), "2");
  EXPECT_NE(TitleOf(mark).find("  15.500  check    expect log \"<&> caf\\xC3\\xA9\\x09q\"  -> FAILED, found no "
                               "debugger line contains it"),
            std::string::npos)
      << TitleOf(mark);
  EXPECT_NE(TitleOf(mark).find("\n  15.500  check    expect queue KX310MQ47H port=\"USB&<>\"  -> FAILED, found "
                               "paused=no status=0x0 port=USB002"),
            std::string::npos)
      << TitleOf(mark);
}

TEST(Picture, SameRunSameBytes) {
  EXPECT_EQ(Picture(kCoverUnplugRebind), Picture(kCoverUnplugRebind));
  EXPECT_EQ(Picture(kCoverUnplugRebind, 7), Picture(kCoverUnplugRebind, 7));
  // The file's folders are not in the picture, only its name.
  EXPECT_NE(Picture(kCoverUnplugRebind).find("<title>t.scenario: 15.500 s of virtual time"), std::string::npos);
  EXPECT_EQ(Picture(kCoverUnplugRebind).find("folder"), std::string::npos);
}

TEST(Picture, LanesChangeStateWhenTheMachineDid) {
  // The service reads the status every 800 ms from its start at 0 (so at
  // 3.2 s after the cover opened at 2.5 s, at 4.8 s after it closed at
  // 4.5 s), handles the unplug (6.5 s) and the arrival (9.5 s) at once, and
  // resumes the queue at the first status pass after the Spooler, which
  // takes 500 ms to stop and 1 s to start, runs again (11.1 s).
  struct Row {
    const char* kind;
    const char* subject;
    std::vector<BandRead> bands;
  };
  const Row kRows[] = {
      {"device-plugged", kSocket1, {{0, 6500, "plugged in"}, {6500, 15500, "unplugged"}}},
      {"device-status",
       kSocket1,
       {{0, 2500, "0x20 paper present"},
        {2500, 4500, "0x24 cover open, paper present"},
        {4500, 15500, "0x20 paper present"}}},
      {"device-plugged", kSocket2, {{0, 9500, "unplugged"}, {9500, 15500, "plugged in"}}},
      {"device-status", kSocket2, {{0, 15500, "0x20 paper present"}}},
      {"queue-state",
       "KX310MQ47H",
       {{0, 3200, "running"},
        {3200, 4800, "paused"},
        {4800, 6500, "running"},
        {6500, 12200, "paused"},
        {12200, 15500, "running"}}},
      {"queue-status",
       "KX310MQ47H",
       {{0, 3200, "none"},
        {3200, 4800, "door open"},
        {4800, 6500, "none"},
        {6500, 10000, "offline"},  // the re-binding's Spooler restart forgets the status
        {10000, 15500, "none"}}},
      {"queue-port", "KX310MQ47H", {{0, 9500, "USB001"}, {9500, 15500, "USB002"}}},
      {"spooler",
       "",
       {{0, 9500, "running"},
        {9500, 10000, "stopping"},
        {10000, 10100, "stopped"},
        {10100, 11100, "starting"},
        {11100, 15500, "running"}}},
      // Started and stopped in no virtual time: the pending states last none.
      {"service", "", {{0, 14500, "running"}, {14500, 15500, "stopped"}}},
  };
  const xml::Element root = ParseSvg(Picture(kCoverUnplugRebind));
  EXPECT_EQ(root.Attribute("data-end-ms"), "15500");
  for (const Row& row : kRows) {
    const xml::Element* lane = FindLane(root, row.kind, row.subject);
    ASSERT_NE(lane, nullptr) << row.kind << " " << row.subject;
    EXPECT_EQ(Bands(*lane), row.bands) << row.kind << " " << row.subject;
  }

  // A mark for each virtual time steps were played at, none for failures.
  std::vector<std::string> markedAt;
  for (const xml::Element* mark : Marks(*FindLane(root, "steps", ""))) {
    markedAt.push_back(mark->Attribute("data-at-ms").value_or(""));
  }
  EXPECT_EQ(markedAt, (std::vector<std::string>{"0", "2500", "4500", "6500", "9500", "14500", "15500"}));
  EXPECT_EQ(EndCount(*FindLane(root, "steps", "")), std::to_string(ParseScenario(kCoverUnplugRebind).steps.size()));
  EXPECT_TRUE(Marks(*FindLane(root, "failed-checks", "")).empty());
  EXPECT_EQ(EndCount(*FindLane(root, "failed-checks", "")), "0");
}

TEST(Picture, TheStateAtTheEndIsShownEvenWhenItBeganThere) {
  // The service stops at the very moment of the last step: no band, but the
  // column at the end says so.
  const xml::Element root = ParseSvg(Picture(std::string(kCoverUnplugRebind) + "service start\n"));
  const xml::Element* service = FindLane(root, "service", "");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(Bands(*service).back(), (BandRead{14500, 15500, "stopped"}));
  std::vector<std::string> atEnd;
  service->ForEach([&](const xml::Element& element) {
    if (element.Attribute("class") == "end-state") atEnd.push_back(element.Attribute("data-state").value_or(""));
  });
  EXPECT_EQ(atEnd, std::vector<std::string>{"running"});
}

TEST(Picture, AnHourOfSteadyStatusIsOneBand) {
  const std::string svg = Picture(std::string(kCoverUnplugRebind) + "service start\nwait 3600s\n");
  const xml::Element root = ParseSvg(svg);
  const xml::Element* queue = FindLane(root, "queue-state", "KX310MQ47H");
  ASSERT_NE(queue, nullptr);
  EXPECT_EQ(Bands(*queue).back(), (BandRead{12200, 3615500, "running"}));
  const xml::Element* status = FindLane(root, "queue-status", "KX310MQ47H");
  EXPECT_EQ(Bands(*status).back(), (BandRead{10000, 3615500, "none"}));
  // 4500 more status passes, and the lanes grow by little more than the
  // service lane's new band (the longer axis has more ticks, by design).
  EXPECT_LT(WithoutAxis(svg).size(), WithoutAxis(Picture(kCoverUnplugRebind)).size() + 2000);
}

TEST(Picture, TraceLinesItDoesNotKnowAreLeftOut) {
  const Scenario scenario = ParseScenario(std::string("queue Q port=USB001\ndevice X as printer\nplug printer\n"));
  ASSERT_TRUE(scenario.errors.empty());
  RunRecord record;
  record.fileName = "t.scenario";
  record.spoolerAtStart = SERVICE_RUNNING;
  record.endMs = 5000;
  for (const Step& step : scenario.steps) record.steps.push_back({0, &step, std::nullopt});
  using Channel = sim::TraceEntry::Channel;
  record.trace = {{0, Channel::Device, "plugged X"},
                  {1000, Channel::Scm, "Spooler stopped"},
                  {2000, Channel::Scm, "Spooler started"}};
  record.journal = {{3000, L"Q", sim::SpoolerCommand::Kind::Pause, 0, L"", true, 0}};
  const std::string known = RenderSvg(BuildPicture(record));

  // Lines of channels and kinds the picture has no lane for, as newer
  // machines may write them.
  record.trace.insert(record.trace.begin() + 1,
                      {{500, Channel::Scm, "Spooler exploded"},
                       {600, static_cast<Channel>(7), "event 7036: The Spooler service entered the stopped state"},
                       {700, Channel::Device, "status of X is soon"},
                       {800, Channel::Device, "replugged X"},
                       {900, Channel::Service, "status PAUSED (accepts 0x0)"},
                       {950, Channel::Process, "process 1 ended"}});
  record.journal.push_back({4000, L"Q", sim::SpoolerCommand::Kind::Other, 7, L"", true, 0});
  EXPECT_EQ(RenderSvg(BuildPicture(record)), known);

  const xml::Element root = ParseSvg(known);
  EXPECT_EQ(Bands(*FindLane(root, "spooler", "")),
            (std::vector<BandRead>{{0, 1000, "running"}, {1000, 2000, "stopped"}, {2000, 5000, "running"}}));
  EXPECT_EQ(Bands(*FindLane(root, "queue-state", "Q")),
            (std::vector<BandRead>{{0, 3000, "running"}, {3000, 5000, "paused"}}));
  EXPECT_EQ(Bands(*FindLane(root, "device-plugged", "X")), (std::vector<BandRead>{{0, 5000, "plugged in"}}));
}

TEST(Picture, LaneLabels) {
  const Scenario scenario = ParseScenario(
      "queue Q port=USB001\n"
      "device \\\\?\\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
      "device \\\\?\\USB#VID_046D&PID_C077#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
      "device \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed} as printer\n"
      "device X\n");
  ASSERT_TRUE(scenario.errors.empty());
  RunRecord record;
  for (const Step& step : scenario.steps) record.steps.push_back({0, &step, std::nullopt});
  std::vector<std::string> labels;
  for (const Lane& lane : BuildPicture(record).lanes) labels.push_back(lane.label);
  EXPECT_EQ(labels, (std::vector<std::string>{
                        // The same instance part twice: the paths tell them apart.
                        R"(\\?\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed} USB)",
                        R"(\\?\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed} status byte)",
                        R"(\\?\USB#VID_046D&PID_C077#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed} USB)",
                        R"(\\?\USB#VID_046D&PID_C077#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed} status byte)",
                        "printer USB",
                        "printer status byte",
                        "X USB",
                        "X status byte",
                        "queue Q",
                        "queue Q status",
                        "queue Q port",
                        "Spooler",
                        "service",
                        "Event Log",
                        "steps",
                        "failed checks",
                    }));
}

}  // namespace
}  // namespace simrunner

namespace simrunner {
namespace {

// The <text> children of an element, by class.
std::vector<std::string> Texts(const xml::Element& element, std::string_view cssClass) {
  std::vector<std::string> texts;
  element.ForEach([&](const xml::Element& child) {
    if (child.name == "text" && child.Attribute("class") == cssClass) texts.push_back(child.text);
  });
  return texts;
}

TEST(Picture, TheEventLogLaneShowsEachEntryWithItsIdTypeAndMessage) {
  const xml::Element root = ParseSvg(Picture(kCoverUnplugRebind));
  const xml::Element* lane = FindLane(root, "event-log", "");
  ASSERT_NE(lane, nullptr);
  struct Entry {
    std::string id;
    std::string type;
    std::string message;  // a part of the hover title
  };
  std::vector<Entry> entries;
  for (const xml::Element* mark : Marks(*lane)) {
    entries.push_back({mark->Attribute("data-event-id").value_or(""), mark->Attribute("data-event-type").value_or(""),
                       TitleOf(*mark)});
    EXPECT_EQ(Texts(*mark, "mark-label"), std::vector<std::string>{entries.back().id});
  }
  ASSERT_EQ(entries.size(), 5u);
  const Entry kWanted[] = {
      {"100", "information",
       "information 100: The spoolsync service (testserviceQ5M2K9) started. The print queue "
       "KX310MQ47H is on port USB001."},
      {"110", "information", "information 110: The printer " + std::string(kSocket1) + " was unplugged."},
      {"120", "information", "information 120:"},
      {"111", "information", "information 111: The printer " + std::string(kSocket2) + " is back."},
      {"101", "information", "information 101: The spoolsync service (testserviceQ5M2K9) stopped:"},
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].id, kWanted[i].id) << i;
    EXPECT_EQ(entries[i].type, kWanted[i].type) << i;
    EXPECT_NE(entries[i].message.find(kWanted[i].message), std::string::npos) << entries[i].message;
    EXPECT_EQ(entries[i].message.find('%'), std::string::npos) << "an insert left unfilled: " << entries[i].message;
  }
  EXPECT_EQ(EndCount(*lane), "5");
}

TEST(Picture, EveryBandCarriesItsNameOrAMark) {
  // A paper-out of 200 ms in a run of an hour: far too narrow for any text.
  const xml::Element root =
      ParseSvg(Picture(std::string(kCoverUnplugRebind) + "service start\nwait 2s\nstatus socket2 0\nwait 800ms\n"
                                                         "status socket2 paper\nwait 1h\n"));
  int named = 0;
  int marked = 0;
  root.ForEach([&](const xml::Element& band) {
    if (band.Attribute("class") != "band") return;
    const std::vector<std::string> names = Texts(band, "band-name");
    bool mark = false;
    for (const xml::Element& child : band.children) mark = mark || child.Attribute("class") == "band-mark";
    EXPECT_NE(names.empty(), !mark) << TitleOf(band) << ": a name or a mark, and only one";
    named += names.empty() ? 0 : 1;
    marked += mark ? 1 : 0;
    // A name is the state's own words, or their start: never another form.
    for (const std::string& name : names) {
      const std::string state = band.Attribute("data-state").value_or("");
      const std::string start = name.ends_with("...") ? name.substr(0, name.size() - 3) : name;
      const bool brief = start.starts_with("0x");
      EXPECT_TRUE(state.starts_with(start) || brief) << name << " for " << state;
    }
  });
  EXPECT_GT(named, 5);
  EXPECT_GT(marked, 3);
}

TEST(Picture, TheSpoolersRestartIsLabelled) {
  const xml::Element root = ParseSvg(Picture(kCoverUnplugRebind));
  const xml::Element* spooler = FindLane(root, "spooler", "");
  ASSERT_NE(spooler, nullptr);
  const auto marks = Marks(*spooler);
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(Texts(*marks[0], "mark-label"), std::vector<std::string>{"restart 1"});
  // The service's re-binding stops the Spooler (500 ms) and starts it (1 s).
  const std::string title = TitleOf(*marks[0]);
  EXPECT_NE(title.find("Spooler restart 1: stopping at "), std::string::npos) << title;
  const std::int64_t at = std::stoll(marks[0]->Attribute("data-at-ms").value_or("-1"));
  const auto bands = Bands(*spooler);
  ASSERT_GE(bands.size(), 4u);
  EXPECT_EQ(bands[1].state, "stopping");
  EXPECT_EQ(at, bands[1].fromMs);
}

TEST(Picture, AWindowDrawsAPartOfTheRun) {
  const Scenario scenario = ParseScenario(std::string(kCoverUnplugRebind) + "wait 8h\n");
  ASSERT_TRUE(scenario.errors.empty());
  struct Row {
    std::optional<std::pair<std::int64_t, std::int64_t>> window;
    const char* width;      // the picture's
    std::size_t stepMarks;  // drawn in the steps lane
  };
  const Row kRows[] = {
      {std::nullopt, "12307", 7},                     // eight hours: the widest plot
      {std::make_pair(0, 10000), "1307", 5},          // the first 10 s: the narrowest
      {std::make_pair(9000, 13000), "1307", 1},       // 4 s in the middle
      {std::make_pair(3600000, 7200000), "3907", 0},  // an hour of nothing: 3600 px
  };
  for (const Row& row : kRows) {
    std::string picture;
    std::ostringstream timeline;
    RunOptions options{"t.scenario", true, std::nullopt, &picture};
    options.window = row.window;
    RunScenario(scenario, options, timeline);
    const xml::Element root = ParseSvg(picture);
    EXPECT_EQ(root.Attribute("width"), row.width) << (row.window ? row.window->first : -1);
    const xml::Element* steps = FindLane(root, "steps", "");
    ASSERT_NE(steps, nullptr);
    EXPECT_EQ(Marks(*steps).size(), row.stepMarks) << (row.window ? row.window->first : -1);
    // The bands drawn are those that overlap the window, with their own times.
    const xml::Element* queue = FindLane(root, "queue-state", "KX310MQ47H");
    ASSERT_NE(queue, nullptr);
    for (const BandRead& band : Bands(*queue)) {
      if (row.window) {
        EXPECT_TRUE(band.toMs > row.window->first && band.fromMs < row.window->second) << band;
      }
    }
    // Every tick is inside the window.
    root.ForEach([&](const xml::Element& tick) {
      if (tick.Attribute("class") != "tick" || !row.window) return;
      const std::int64_t at = std::stoll(tick.Attribute("data-at-ms").value_or("-1"));
      EXPECT_TRUE(at >= row.window->first && at <= row.window->second) << at;
    });
  }
}

}  // namespace
}  // namespace simrunner
