// Test tooling: queues in Wine's spooler. A fresh Wine prefix has neither a
// printer driver nor a printer; Wine's PostScript driver is enough for a queue
// the service can open and re-bind.
#pragma once

#include <string>

#include "platform/win32_api.h"

namespace wine_printers {

// Installs Wine's PostScript driver unless it is there already. Returns the
// error code of the failed call, or ERROR_SUCCESS.
DWORD EnsureDriver();

// Creates queue `name` on `port` (installing the driver first). Returns the
// error code of the failed call, or ERROR_SUCCESS.
DWORD AddQueue(const std::wstring& name, const std::wstring& port);

// Deletes queue `name`. Returns the error code of the failed call, or
// ERROR_SUCCESS; a queue that does not exist gives ERROR_INVALID_PRINTER_NAME.
DWORD DeleteQueue(const std::wstring& name);

}  // namespace wine_printers
