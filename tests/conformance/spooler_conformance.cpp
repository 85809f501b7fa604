// The spooler calls: OpenPrinterW, GetPrinterW, SetPrinterW, ClosePrinter,
// EnumPortsW.
#include <cstring>
#include <string>
#include <vector>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

wchar_t kQueue[] = L"KX310MQ47H";

class Spooler : public Conformance {
 protected:
  Spooler() {
    machine.AddQueue(kQueue, L"USB001");
    for (const wchar_t* port : {L"USB001", L"USB002", L"LPT1:", L"FILE:"}) machine.AddPort(port);
  }
  static HANDLE Open(ACCESS_MASK access = PRINTER_ALL_ACCESS) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    HANDLE printer = nullptr;
    EXPECT_TRUE(OpenPrinterW(kQueue, &printer, &defaults));
    return printer;
  }
  // The level-2 record, read as a program reads it: size query, then read.
  static std::vector<BYTE> Read(HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
    return buffer;
  }
  static const PRINTER_INFO_2W& Info(const std::vector<BYTE>& buffer) {
    return *reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  }
};

TEST_F(Spooler, OpenPrinterW) {
  {
    // Windows: no handle pointer is ERROR_INVALID_PARAMETER, with or without
    // a name (Wine dlls/winspool.drv/tests/info.c, test_OpenPrinter).
    Behaviour b("OpenPrinterW", "no handle pointer: ERROR_INVALID_PARAMETER");
    EXPECT_FALSE(OpenPrinterW(nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(OpenPrinterW(kQueue, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: no name asks for the local print server: a handle, or
    // ERROR_INVALID_PARAMETER (info.c, test_OpenPrinter, which accepts both).
    Behaviour b("OpenPrinterW", "no name: the print server, or ERROR_INVALID_PARAMETER");
    HANDLE printer = nullptr;
    if (OpenPrinterW(nullptr, &printer, nullptr)) {
      EXPECT_TRUE(ClosePrinter(printer));
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
  {
    // Windows: a name no queue has, or an empty one, is
    // ERROR_INVALID_PRINTER_NAME (info.c, test_OpenPrinter).
    Behaviour b("OpenPrinterW", "an unknown or empty name: ERROR_INVALID_PRINTER_NAME");
    wchar_t illegal[] = L"illegal,name";
    wchar_t empty[] = L"";
    for (wchar_t* name : {illegal, empty}) {
      HANDLE printer = nullptr;
      EXPECT_FALSE(OpenPrinterW(name, &printer, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    }
  }
  {
    // Windows: an administrator opens a printer with no rights asked,
    // PRINTER_ACCESS_USE or PRINTER_ALL_ACCESS (info.c, test_OpenPrinter).
    Behaviour b("OpenPrinterW", "an administrator opens with 0, use or all access");
    for (const ACCESS_MASK access :
         {ACCESS_MASK{0}, ACCESS_MASK{PRINTER_ACCESS_USE}, ACCESS_MASK{PRINTER_ALL_ACCESS}}) {
      HANDLE printer = Open(access);
      EXPECT_NE(printer, nullptr) << access;
      ClosePrinter(printer);
    }
  }
  {
    // Windows: rights the caller lacks are refused at the open with
    // ERROR_ACCESS_DENIED; use access is everyone's (Microsoft docs,
    // OpenPrinter).
    Behaviour b("OpenPrinterW", "rights the caller lacks: ERROR_ACCESS_DENIED at the open");
    machine.SetPrinterAdministration(false);
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    EXPECT_FALSE(OpenPrinterW(kQueue, &printer, &all));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    printer = Open(PRINTER_ACCESS_USE);
    EXPECT_NE(printer, nullptr);
    ClosePrinter(printer);
    machine.SetPrinterAdministration(true);
  }
}

TEST_F(Spooler, GetPrinterW) {
  HANDLE printer = Open();
  {
    // Windows: a size query fails with ERROR_INSUFFICIENT_BUFFER and gives
    // the size; a read with that size fills exactly that (info.c,
    // test_GetPrinter).
    Behaviour b("GetPrinterW", "size query, then a read of exactly that size");
    DWORD needed = 0xdeadbeef;
    EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));
    std::vector<BYTE> buffer(needed);
    DWORD filled = 0;
    EXPECT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &filled));
    EXPECT_EQ(filled, needed);
    EXPECT_FALSE(GetPrinterW(printer, 2, buffer.data(), needed - 1, &filled));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }
  {
    // Windows: level 2 names the printer and its driver (info.c,
    // test_GetPrinter).
    Behaviour b("GetPrinterW", "level 2 names the printer and the driver");
    const std::vector<BYTE> buffer = Read(printer);
    ASSERT_NE(Info(buffer).pPrinterName, nullptr);
    EXPECT_STREQ(Info(buffer).pPrinterName, kQueue);
    EXPECT_NE(Info(buffer).pDriverName, nullptr);
  }
  {
    // Windows: level 2 carries the printer's settings, a DEVMODEW naming the
    // printer, with the driver's private part, inside the record (info.c,
    // test_OpenPrinter_defaults and test_DEVMODEA; Microsoft docs,
    // PRINTER_INFO_2).
    Behaviour b("GetPrinterW", "level 2 carries the driver's DEVMODEW");
    const std::vector<BYTE> buffer = Read(printer);
    const DEVMODEW* settings = Info(buffer).pDevMode;
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(std::wstring(settings->dmDeviceName), kQueue);
    EXPECT_EQ(settings->dmSize, sizeof(DEVMODEW));
    const auto* begin = reinterpret_cast<const BYTE*>(settings);
    EXPECT_GE(begin, buffer.data());
    EXPECT_LE(begin + settings->dmSize + settings->dmDriverExtra, buffer.data() + buffer.size());
  }
  {
    // Windows: settings given to OpenPrinter are for the jobs of that handle;
    // GetPrinter still gives the printer's own (info.c,
    // test_OpenPrinter_defaults).
    Behaviour b("GetPrinterW", "settings given to OpenPrinter do not change the printer's");
    const short paperSize = Info(Read(printer)).pDevMode->dmPaperSize;
    DEVMODEW mine = {};
    mine.dmSize = sizeof mine;
    mine.dmFields = DM_PAPERSIZE;
    mine.dmPaperSize = paperSize == DMPAPER_A4 ? 1 : DMPAPER_A4;
    PRINTER_DEFAULTSW defaults = {nullptr, &mine, PRINTER_ACCESS_USE};
    HANDLE other = nullptr;
    ASSERT_TRUE(OpenPrinterW(kQueue, &other, &defaults));
    EXPECT_EQ(Info(Read(other)).pDevMode->dmPaperSize, paperSize);
    ClosePrinter(other);
  }
  {
    // Windows: a level no printer has fails with ERROR_INVALID_LEVEL (info.c,
    // test_GetPrinter; Microsoft docs, GetPrinter: levels 1 to 9).
    Behaviour b("GetPrinterW", "an invalid level: ERROR_INVALID_LEVEL");
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(printer, 10, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  }
  ClosePrinter(printer);
}

TEST_F(Spooler, SetPrinterW) {
  {
    // Windows: level 0 pauses and resumes the printer, whose status then
    // shows PRINTER_STATUS_PAUSED or not; PRINTER_CONTROL_SET_STATUS sets its
    // status (Microsoft docs, SetPrinter).
    Behaviour b("SetPrinterW", "level 0 pauses, resumes and sets the status");
    HANDLE printer = Open();
    EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
    EXPECT_NE(Info(Read(printer)).Status & PRINTER_STATUS_PAUSED, 0u);
    EXPECT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_RESUME));
    EXPECT_EQ(Info(Read(printer)).Status & PRINTER_STATUS_PAUSED, 0u);
    EXPECT_TRUE(SetPrinterW(printer, 0, reinterpret_cast<LPBYTE>(ULONG_PTR{PRINTER_STATUS_PAPER_OUT}),
                            PRINTER_CONTROL_SET_STATUS));
    EXPECT_EQ(Info(Read(printer)).Status, static_cast<DWORD>(PRINTER_STATUS_PAPER_OUT));
    ClosePrinter(printer);
  }
  {
    // Windows: changing a printer needs PRINTER_ACCESS_ADMINISTER on the
    // handle: ERROR_ACCESS_DENIED (Microsoft docs, SetPrinter).
    Behaviour b("SetPrinterW", "a handle opened for use: ERROR_ACCESS_DENIED");
    HANDLE printer = Open(PRINTER_ACCESS_USE);
    EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ClosePrinter(printer);
  }
  {
    // Windows: level 2 takes back the record GetPrinter gave, its settings
    // with it, and keeps them (Microsoft docs, SetPrinter and
    // PRINTER_INFO_2).
    Behaviour b("SetPrinterW", "level 2 takes back GetPrinter's record and keeps its settings");
    HANDLE printer = Open();
    std::vector<BYTE> buffer = Read(printer);
    auto& info = *reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    wchar_t port[] = L"USB002";
    info.pPortName = port;
    info.pDevMode->dmPaperSize = 1;  // letter
    const std::vector<BYTE> settings(
        reinterpret_cast<const BYTE*>(info.pDevMode),
        reinterpret_cast<const BYTE*>(info.pDevMode) + info.pDevMode->dmSize + info.pDevMode->dmDriverExtra);
    EXPECT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
    const std::vector<BYTE> after = Read(printer);
    EXPECT_STREQ(Info(after).pPortName, L"USB002");
    const auto* kept = reinterpret_cast<const BYTE*>(Info(after).pDevMode);
    EXPECT_EQ(std::vector<BYTE>(kept, kept + settings.size()), settings);
    ClosePrinter(printer);
  }
  {
    // Windows: a command goes only with level 0 (Microsoft docs, SetPrinter:
    // "If the Command parameter is not equal to zero, the Level parameter
    // must be zero").
    Behaviour b("SetPrinterW", "a command with level 2 fails");
    HANDLE printer = Open();
    std::vector<BYTE> buffer = Read(printer);
    EXPECT_FALSE(SetPrinterW(printer, 2, buffer.data(), PRINTER_CONTROL_PAUSE));
    ClosePrinter(printer);
  }
}

TEST_F(Spooler, WhatASpoolerRestartKeeps) {
  // Windows: a queue's pause is the printer object's own state (PAUSED is no
  // status SET_STATUS may set, Microsoft docs, SetPrinter), kept with the
  // printer's settings the spooler loads at its start; a status set with
  // PRINTER_CONTROL_SET_STATUS lives in the running spooler's memory. After
  // a restart the queue is paused with no status. Not measured on a till;
  // Wine 8.0 cannot set either (SetPrinterW level 0 fails with 124).
  Behaviour b("GetPrinterW", "after a Spooler restart: the pause kept, the status set before gone");
  machine.SetSpoolerForgetsStatus(true);
  HANDLE printer = Open();
  ASSERT_TRUE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  ASSERT_TRUE(SetPrinterW(printer, 0, reinterpret_cast<LPBYTE>(ULONG_PTR{PRINTER_STATUS_PAPER_OUT}),
                          PRINTER_CONTROL_SET_STATUS));
  ClosePrinter(printer);
  ASSERT_EQ(machine.StopSpooler(), 0u);
  machine.RunUntilIdle();
  ASSERT_EQ(machine.StartSpooler(), 0u);
  machine.RunUntilIdle();
  HANDLE again = Open();
  EXPECT_EQ(Info(Read(again)).Status, static_cast<DWORD>(PRINTER_STATUS_PAUSED));
  ClosePrinter(again);
}

TEST_F(Spooler, ClosePrinter) {
  // Windows: a handle closes once; a second close fails with
  // ERROR_INVALID_HANDLE (Microsoft docs, ClosePrinter).
  Behaviour b("ClosePrinter", "a second close: ERROR_INVALID_HANDLE");
  HANDLE printer = Open();
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_FALSE(ClosePrinter(printer));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Spooler, EnumPortsW) {
  {
    // Windows: the levels are 1 and 2; others fail with ERROR_INVALID_LEVEL
    // (info.c, test_EnumPorts).
    Behaviour b("EnumPortsW", "levels 0 and 3: ERROR_INVALID_LEVEL");
    for (const DWORD level : {0u, 3u}) {
      DWORD needed = 0;
      DWORD returned = 0;
      EXPECT_FALSE(EnumPortsW(nullptr, level, nullptr, 0, &needed, &returned));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL)) << level;
    }
  }
  {
    // Windows: at levels 1 and 2 the size query fails with
    // ERROR_INSUFFICIENT_BUFFER; a buffer of that size or one byte more
    // gets the list and the same size; one byte less fails with the size
    // (info.c, test_EnumPorts).
    Behaviour b("EnumPortsW", "levels 1 and 2: size query, exact, one more, one less");
    for (const DWORD level : {1u, 2u}) {
      DWORD needed = 0xdeadbeef;
      DWORD returned = 0xdeadbeef;
      EXPECT_FALSE(EnumPortsW(nullptr, level, nullptr, 0, &needed, &returned));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      const DWORD size = needed;
      std::vector<BYTE> buffer(size * 2);
      for (const DWORD given : {size, size + 1}) {
        needed = 0xdeadbeef;
        EXPECT_TRUE(EnumPortsW(nullptr, level, buffer.data(), given, &needed, &returned)) << level;
        EXPECT_EQ(needed, size);
        EXPECT_EQ(returned, 4u);
      }
      needed = 0xdeadbeef;
      EXPECT_FALSE(EnumPortsW(nullptr, level, buffer.data(), size - 1, &needed, &returned));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(needed, size);
    }
    std::vector<BYTE> buffer(1024);
    DWORD needed = 0;
    DWORD returned = 0;
    ASSERT_TRUE(EnumPortsW(nullptr, 1, buffer.data(), 1024, &needed, &returned));
    EXPECT_STREQ(reinterpret_cast<const PORT_INFO_1W*>(buffer.data())[2].pName, L"LPT1:");
  }
  {
    // Windows: a missing size or count pointer fails with
    // RPC_X_NULL_REF_POINTER (info.c, test_EnumPorts).
    Behaviour b("EnumPortsW", "no size or count pointer: RPC_X_NULL_REF_POINTER");
    std::vector<BYTE> buffer(1024);
    DWORD value = 0;
    EXPECT_FALSE(EnumPortsW(nullptr, 2, buffer.data(), 1024, nullptr, &value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
    EXPECT_FALSE(EnumPortsW(nullptr, 2, buffer.data(), 1024, &value, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  }
}

}  // namespace
}  // namespace conformance
