// Registry calls of the simulated machine: HKEY_LOCAL_MACHINE only, keys
// named without regard to case, values stored as the bytes given.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/sim/machine_state.h"

namespace sim {

std::string Registry::Normalize(std::string_view path) {
  std::string normalized(path);
  std::transform(normalized.begin(), normalized.end(), normalized.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  while (!normalized.empty() && normalized.back() == '\\') normalized.pop_back();
  return normalized;
}

void Registry::CreateKey(const std::string& normalizedPath) {
  for (std::size_t end = normalizedPath.find('\\'); end != std::string::npos;
       end = normalizedPath.find('\\', end + 1)) {
    keys.try_emplace(normalizedPath.substr(0, end));
  }
  keys.try_emplace(normalizedPath);
}

bool Registry::KeyExists(const std::string& normalizedPath) const {
  return normalizedPath.empty() || keys.count(normalizedPath) != 0;
}

namespace {

// The path a key handle stands for; nothing for a handle that is not a key.
std::optional<std::string> KeyPath(MachineState& m, HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return std::string();
  if (const KeyObject* open = m.handles.Find<KeyObject>(key)) return open->path;
  return std::nullopt;
}

}  // namespace

}  // namespace sim

using sim::Current;

// Windows: a missing key leaves *result NULL; a key handle that is not one
// leaves it as it was; a NULL or empty subkey of a predefined key gives that
// key itself, of an open key a new handle; a subkey path starting with a
// backslash is a bad path name; trailing backslashes are ignored (Wine
// dlls/advapi32/tests/registry.c, test_reg_open_key). The registry calls
// return their error and leave the last error alone.
LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM, PHKEY result) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.registry.callLatency);
  if (result == nullptr || options != 0) return ERROR_INVALID_PARAMETER;
  const auto base = sim::KeyPath(m, key);
  if (!base) return ERROR_INVALID_HANDLE;
  const bool noSubKey = subKey == nullptr || *subKey == '\0';
  if (noSubKey && key == HKEY_LOCAL_MACHINE) {
    *result = HKEY_LOCAL_MACHINE;
    return ERROR_SUCCESS;
  }
  *result = nullptr;
  if (!noSubKey && *subKey == '\\') return ERROR_BAD_PATHNAME;
  std::string path = *base;
  if (!noSubKey) {
    if (!path.empty()) path += '\\';
    path += subKey;
  }
  path = sim::Registry::Normalize(path);
  if (!m.registry.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  *result = static_cast<HKEY>(m.handles.Add(sim::KeyObject{path}));
  return ERROR_SUCCESS;
}

// Windows: a missing value sets the size to 0 when no buffer was given, and
// leaves it alone when one was; the size and the type may be the same
// variable, the size being read before the type is written; success leaves
// the last error alone (Wine dlls/advapi32/tests/registry.c,
// test_query_value_ex and test_hkey_main_Value_A).
LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD dataSize) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.registry.callLatency);
  const auto path = sim::KeyPath(m, key);
  if (!path) return ERROR_INVALID_HANDLE;
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  const auto keyIt = m.registry.keys.find(*path);
  const sim::RegistryValue* value = nullptr;
  if (keyIt != m.registry.keys.end()) {
    const auto valueIt = keyIt->second.find(sim::Registry::Normalize(valueName != nullptr ? valueName : ""));
    if (valueIt != keyIt->second.end()) value = &valueIt->second;
  }
  if (value == nullptr) {
    if (data == nullptr && dataSize != nullptr) *dataSize = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  const DWORD capacity = dataSize != nullptr ? *dataSize : 0;
  if (type != nullptr) *type = value->type;
  // Text comes back converted with the system code page, whatever the
  // thread's is.
  const bool text = sim::RegistryValue::IsText(value->type);
  const std::string bytes = text ? sim::ToCodePage(m.systemCodePage, value->text) : value->bytes;
  const auto size = static_cast<DWORD>(bytes.size());
  if (dataSize == nullptr) return ERROR_SUCCESS;
  *dataSize = size;
  if (data == nullptr) return ERROR_SUCCESS;
  if (capacity < size) return ERROR_MORE_DATA;
  std::memcpy(data, bytes.data(), size);
  // Text stored without its NUL gets one when the buffer has room for it;
  // the size reported does not count it.
  if (text && size < capacity && (size == 0 || data[size - 1] != 0)) data[size] = 0;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.registry.callLatency);
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (m.handles.Find<sim::KeyObject>(key) == nullptr) return ERROR_INVALID_HANDLE;
  m.handles.Remove(key);
  return ERROR_SUCCESS;
}
