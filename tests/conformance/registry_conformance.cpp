// The registry calls: RegOpenKeyExA, RegQueryValueExA, RegCloseKey.
#include <cstring>
#include <string>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

constexpr char kKey[] = "SOFTWARE\\Wine\\Test";

class Registry : public Conformance {
 protected:
  Registry() {
    machine.SetRegistryString(kKey, "TP1_SZ", "%LONGSYSTEMVAR%\\subdir1");
    machine.SetRegistryValue(kKey, "BIN32", REG_BINARY, std::string("\x78\x56\x34\x12", 4));
  }
  HKEY Open(const char* path = kKey) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
    return key;
  }
};

TEST_F(Registry, RegOpenKeyExA) {
  {
    // Windows: opening a key twice gives two handles (Wine
    // dlls/advapi32/tests/registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a key opened twice gives two handles");
    HKEY first = Open();
    HKEY second = Open();
    EXPECT_NE(first, second);
    RegCloseKey(first);
    RegCloseKey(second);
  }
  {
    // Windows: trailing backslashes are ignored (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "trailing backslashes are ignored");
    HKEY key = Open("SOFTWARE\\Wine\\Test\\\\");
    EXPECT_NE(key, nullptr);
    RegCloseKey(key);
  }
  {
    // Windows: a key that does not exist fails with ERROR_FILE_NOT_FOUND and
    // sets the result to NULL (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a missing key: ERROR_FILE_NOT_FOUND, result NULL");
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wine\\Nonexistent", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
  }
  {
    // Windows: a NULL or empty subkey of a predefined key gives the
    // predefined key itself (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a NULL or empty subkey of a predefined key gives that key");
    for (const char* subKey : {static_cast<const char*>(nullptr), ""}) {
      HKEY key = nullptr;
      EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
      EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
    }
  }
  {
    // Windows: a NULL or empty subkey of an open key gives a new handle
    // (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a NULL or empty subkey of an open key gives a new handle");
    HKEY parent = Open();
    for (const char* subKey : {static_cast<const char*>(nullptr), ""}) {
      HKEY key = parent;
      EXPECT_EQ(RegOpenKeyExA(parent, subKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
      EXPECT_NE(key, parent);
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    RegCloseKey(parent);
  }
  {
    // Windows: an invalid key handle fails with ERROR_INVALID_HANDLE and the
    // "A" call leaves the result as it was (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a NULL key: ERROR_INVALID_HANDLE, result untouched");
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExA(nullptr, "", 0, KEY_QUERY_VALUE, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key, reinterpret_cast<HKEY>(0x1234));
  }
  {
    // Windows: no result pointer is ERROR_INVALID_PARAMETER (registry.c,
    // test_reg_open_key, through RegOpenKeyA).
    Behaviour b("RegOpenKeyExA", "no result pointer: ERROR_INVALID_PARAMETER");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  }
  {
    // Windows: a subkey path that starts with a backslash is a bad path name
    // (registry.c, test_reg_open_key).
    Behaviour b("RegOpenKeyExA", "a leading backslash: ERROR_BAD_PATHNAME");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\Wine\\Test", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
  }
  {
    // Windows: key names are not case sensitive (Microsoft docs, Structure
    // of the Registry), for every letter.
    NotModelled b("RegOpenKeyExA", "names differing in the case of a non-ASCII letter name one key",
                  "keys are compared byte by byte after ASCII case folding");
    machine.SetRegistryString("SOFTWARE\\Wine\\\xC4rger", "x", "y");  // A-umlaut in code page 1252
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Wine\\\xE4rger", 0, KEY_READ, &key), ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);
  }
  {
    // Windows: ulOptions is zero or REG_OPTION_OPEN_LINK; a key that is no
    // link opens as it is (Microsoft docs, RegOpenKeyExA).
    NotModelled b("RegOpenKeyExA", "REG_OPTION_OPEN_LINK opens a key that is no link",
                  "symbolic links are not simulated; any option is refused");
    constexpr DWORD kOpenLink = 0x00000008;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, kOpenLink, KEY_READ, &key), ERROR_SUCCESS);
    if (key != nullptr) RegCloseKey(key);
  }
}

TEST_F(Registry, RegQueryValueExA) {
  HKEY key = Open();
  {
    // Windows: a size query gives the size with the NUL and the type
    // (registry.c, test_query_value_ex).
    Behaviour b("RegQueryValueExA", "a size query gives the size with the NUL, and the type");
    DWORD type = 0;
    DWORD size = 10;
    EXPECT_EQ(RegQueryValueExA(key, "TP1_SZ", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, std::strlen("%LONGSYSTEMVAR%\\subdir1") + 1);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  }
  {
    // Windows: a missing value with no buffer sets the size to 0; with a
    // buffer it leaves the size alone (registry.c, test_query_value_ex).
    Behaviour b("RegQueryValueExA", "a missing value: size 0 without a buffer, untouched with one");
    DWORD type = 0xdeadbeef;
    DWORD size = 0xdeadbeef;
    EXPECT_EQ(RegQueryValueExA(key, "Nonexistent Value", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, 0u);
    BYTE buffer[10];
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "Nonexistent Value", nullptr, &type, buffer, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, sizeof buffer);
  }
  {
    // Windows: the type and the size may be one variable: the size is read
    // before the type is written (registry.c, test_query_value_ex).
    Behaviour b("RegQueryValueExA", "type and size may be the same variable");
    BYTE buffer[10];
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "BIN32", nullptr, &size, buffer, &size), ERROR_SUCCESS);
  }
  {
    // Windows: a successful query leaves the last error as it was (registry.c,
    // test_hkey_main_Value_A).
    Behaviour b("RegQueryValueExA", "success leaves the last error alone");
    SetLastError(0xdeadbeef);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "TP1_SZ", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  }
  {
    // Windows: a string stored without its NUL comes back without one when
    // the buffer is just large enough, with one when there is room, and the
    // size never counts it (registry.c, test_string_termination).
    Behaviour b("RegQueryValueExA", "a missing NUL is added when there is room, not counted");
    machine.SetRegistryValue(kKey, "stringtest", REG_SZ, "FullStrin");
    const struct {
      DWORD capacity;
      int after;  // the byte after the text
    } rows[] = {{9, 0xbd}, {10, 0}, {11, 0}};
    for (const auto& row : rows) {
      BYTE buffer[11];
      std::memset(buffer, 0xbd, sizeof buffer);
      DWORD size = row.capacity;
      EXPECT_EQ(RegQueryValueExA(key, "stringtest", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
      EXPECT_EQ(size, 9u);
      EXPECT_EQ(buffer[9], row.after) << row.capacity;
    }
  }
  {
    // Windows: a buffer one byte short of the text and its NUL fails with
    // ERROR_MORE_DATA (registry.c, test_string_termination).
    Behaviour b("RegQueryValueExA", "a buffer one byte short: ERROR_MORE_DATA and the size needed");
    machine.SetRegistryValue(kKey, "stringtest", REG_SZ, std::string("FullString", 11));
    BYTE buffer[11];
    DWORD size = 10;
    EXPECT_EQ(RegQueryValueExA(key, "stringtest", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
  }
  {
    // Windows: a string value of zero bytes has size 0 and leaves the buffer
    // untouched (registry.c, test_hkey_main_Value_A after test_set_value's
    // zero-byte RegSetValueExA).
    Behaviour b("RegQueryValueExA", "a zero-byte string: size 0, buffer untouched");
    machine.SetRegistryValue(kKey, "CleanSingleString", REG_SZ, "");
    BYTE buffer[1] = {0xbd};
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "CleanSingleString", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buffer[0], 0xbd);
  }
  {
    // Windows: a string with NULs inside comes back whole (registry.c,
    // test_set_value, the intra-zeroed string).
    Behaviour b("RegQueryValueExA", "a string with NULs inside comes back whole");
    const std::string value("This\0Breaks\0\0A\0\0\0Lot\0\0\0\0", 24);
    machine.SetRegistryValue(kKey, "SomeIntraZeroedString", REG_SZ, value);
    char buffer[32];
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "SomeIntraZeroedString", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), value);
  }
  {
    // Windows: REG_SZ text comes back in the system (ANSI) code page
    // (Microsoft docs, RegQueryValueExA).
    Behaviour b("RegQueryValueExA", "text is converted with the system code page");
    machine.SetRegistryString(kKey, "utf8", std::wstring(L"\u00e9\u4e2d"));
    for (const UINT codePage : {1252u, 65001u}) {
      machine.SetCodePages(codePage, 1252);
      char buffer[16] = {};
      DWORD size = sizeof buffer;
      EXPECT_EQ(RegQueryValueExA(key, "utf8", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
      EXPECT_EQ(std::string(buffer, size),
                codePage == 1252 ? std::string("\xE9?\0", 3) : std::string("\xC3\xA9\xE4\xB8\xAD\0", 6));
    }
  }
  RegCloseKey(key);
}

TEST_F(Registry, RegCloseKey) {
  {
    // Windows: a key closes once; closing it again fails with
    // ERROR_INVALID_HANDLE (registry.c, test_reg_close_key).
    Behaviour b("RegCloseKey", "a second close: ERROR_INVALID_HANDLE");
    HKEY key = Open();
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  }
  {
    // Windows: closing NULL fails with ERROR_INVALID_HANDLE (registry.c,
    // test_reg_close_key).
    Behaviour b("RegCloseKey", "closing NULL: ERROR_INVALID_HANDLE");
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  }
}

}  // namespace
}  // namespace conformance
