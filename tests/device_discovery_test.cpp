#include <gtest/gtest.h>

#include <string>

#include "common/wide_text.h"
#include "device/device_discovery.h"
#include "tests/sim_fixture.h"

namespace {

class DeviceDiscovery : public SimTest {
 protected:
  // The path of the device the last successful open reached.
  std::wstring OpenedPath() {
    UniqueHandle device = OpenPrinterDevice();
    if (!device) return {};
    const auto& lines = machine.DebugLines();
    const std::string last = lines.back();
    return std::wstring(last.begin() + 12, last.end() - 1);  // " DevicePath:" ... "\n"
  }
};

TEST(PrintInterfaceKeyName, DerivesTheKeyOrRejects) {
  const struct {
    const wchar_t* path;
    const wchar_t* key;
  } cases[] = {
      {L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
       L"##?#USB#VID_0483&PID_5741#ABC123#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"},
      // Only backslashes: they become the separators.
      {L"\\\\?\\USB\\VID_0483&PID_5741\\ABC123\\{guid}",
       L"##?#USB#VID_0483&PID_5741#ABC123#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"},
      {L"ABC#DEF", L"ABC#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"},
      {L"no separator at all", L""},
      {L"", L""},
      {L"#starts-with-the-only-separator", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintInterfaceKeyName(c.path), c.key) << std::wstring(c.path).size();
}

TEST(HasModelUsbNumbers, BothNumbersAnywhereOnlyDigitsCompared) {
  const struct {
    const wchar_t* path;
    bool model;
  } kRows[] = {
      {L"\\\\?\\USB#VID_0483&PID_5741#ABC#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true},
      {L"\\\\?\\usb#vid_0483&pid_5741#abc#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true},
      {L"\\\\?\\USB#VID_0483&PID_0001#ABC#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", false},
      {L"\\\\?\\USB#VID_046D&PID_5741#ABC#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", false},
      {L"", false},
  };
  for (const auto& row : kRows) EXPECT_EQ(HasModelUsbNumbers(row.path), row.model) << row.path;
}

TEST_F(DeviceDiscovery, ModelIsRecognisedByItsPortDescription) {
  const struct {
    std::string description;
    bool expected;
  } cases[] = {
      {"KX310MQ47H", true}, {"kx310mq47h", true},     {"KX310MQ47H ", false},
      {"KX310MQ47", false}, {"Other printer", false},
  };
  for (const auto& c : cases) {
    machine.SetRegistryString(sim::Machine::PrintInterfaceKeyPath(kPrinterPath), "Port Description", c.description);
    EXPECT_EQ(IsModelDevice(kPrinterPath), c.expected) << c.description;
  }
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(DeviceDiscovery, ValueStoredWithoutItsNulStillMatches) {
  machine.SetRegistryValue(sim::Machine::PrintInterfaceKeyPath(kPrinterPath), "Port Description", REG_SZ, "KX310MQ47H");
  EXPECT_TRUE(IsModelDevice(kPrinterPath));
}

TEST_F(DeviceDiscovery, UnreadableDescriptionIsNotTheModel) {
  const std::string key = sim::Machine::PrintInterfaceKeyPath(kPrinterPath);
  // No key: silently not the model.
  EXPECT_FALSE(IsModelDevice(kPrinterPath));
  EXPECT_TRUE(machine.DebugLines().empty());
  // Key without the value: the query's error is logged.
  machine.SetRegistryString(key, "Other", "x");
  EXPECT_FALSE(IsModelDevice(kPrinterPath));
  EXPECT_EQ(machine.DebugLines().back(), "GetLastError:2\r\n");
  // A value longer than the buffer.
  machine.SetRegistryString(key, "Port Description", std::string(250, 'K'));
  EXPECT_FALSE(IsModelDevice(kPrinterPath));
  EXPECT_EQ(machine.DebugLines().back(), "GetLastError:234\r\n");
  // A value that fills the buffer exactly, with no NUL in it, is read no further.
  machine.SetRegistryValue(key, "Port Description", REG_SZ, std::string(kRegistryValueBufferSize, 'K'));
  EXPECT_FALSE(IsModelDevice(kPrinterPath));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(DeviceDiscovery, OverlongKeyPathIsRejectedEvenWhenTheRegistryWouldMatch) {
  const std::wstring longPath = L"\\\\?\\USB#VID_0483&PID_5741#" + std::wstring(480, L'S') + L"#{guid}";
  machine.SetRegistryString(sim::Machine::PrintInterfaceKeyPath(longPath), "Port Description", "KX310MQ47H");
  EXPECT_FALSE(IsModelDevice(longPath));
  EXPECT_TRUE(DebugLogContains("key path rejected"));
}

TEST_F(DeviceDiscovery, NothingPresentOpensNothing) {
  AddPrinterSetup();
  EXPECT_FALSE(OpenPrinterDevice());
  EXPECT_TRUE(machine.DebugLines().empty());
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(DeviceDiscovery, FirstModelDeviceInPlugOrderIsOpened) {
  machine.AddDevice(kMousePath);
  machine.AddDevice(L"\\\\?\\USB#VID_0483&PID_5741#OTHER1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "Label printer");
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H");
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  machine.Plug(kMousePath);
  machine.Plug(L"\\\\?\\USB#VID_0483&PID_5741#OTHER1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  machine.Plug(kSecondPrinterPath);
  machine.Plug(kPrinterPath);
  // The Setup API gives the interface path in lower case.
  EXPECT_EQ(OpenedPath(), L"\\\\?\\usb#vid_0483&pid_5741#xyz789#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  // One line for each path with the USB numbers, up to the one opened; none for the mouse.
  EXPECT_EQ(CountDebugLinesContaining(" DevicePath:"), 2);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(DeviceDiscovery, LowerCaseNumbersInThePathMatch) {
  const std::wstring lower = L"\\\\?\\usb#vid_0483&pid_5741#abc123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  machine.AddDevice(lower, "KX310MQ47H");
  machine.Plug(lower);
  EXPECT_EQ(OpenedPath(), lower);
}

TEST_F(DeviceDiscovery, DeviceHeldElsewhereIsNotOpenedAndLaterOnesAreNotTried) {
  AddPrinterSetup();
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H");
  machine.Plug(kPrinterPath);
  machine.Plug(kSecondPrinterPath);
  sim::DeviceFaults held;
  held.heldByOtherProgram = true;
  machine.SetDeviceFaults(kPrinterPath, held);
  EXPECT_FALSE(OpenPrinterDevice());
  EXPECT_EQ(machine.DebugLines().back(), " Printer device open failed:32\n");
  EXPECT_EQ(CountDebugLinesContaining(" DevicePath:"), 1);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(DeviceDiscovery, OpenIsExclusive) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  UniqueHandle first = OpenPrinterDevice();
  ASSERT_TRUE(first);
  EXPECT_FALSE(OpenPrinterDevice());
  EXPECT_EQ(machine.DebugLines().back(), " Printer device open failed:32\n");
  first.Reset();
  EXPECT_TRUE(OpenPrinterDevice());
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

}  // namespace
