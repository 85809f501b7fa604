// Operations on the model's spooler queue.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "platform/win32_api.h"

// The two texts written when the queue cannot be opened and when its
// information cannot be read, as code page 936 bytes.
extern const char kOpenPrinterFailedText[];
extern const char kPrinterInfoFailedText[];

// A queue's level-2 information, in the buffer the spooler filled.
class QueueInfo {
 public:
  explicit QueueInfo(std::vector<BYTE> buffer) : buffer_(std::move(buffer)) {}
  [[nodiscard]] PRINTER_INFO_2W* Get() { return reinterpret_cast<PRINTER_INFO_2W*>(buffer_.data()); }

 private:
  std::vector<BYTE> buffer_;
};

// Whether a failure writes its messages: a look the service makes every pass
// while it expects nothing to be wrong stays quiet.
enum class Diagnostics { Written, Quiet };

// Opens the queue with full printer access. On failure writes the two
// open-failure messages and holds nothing (LastQueueError tells why).
PrinterHandle OpenQueue(Diagnostics diagnostics = Diagnostics::Written);

// Reads the queue's level-2 information: a size query, then the read. On
// failure writes the information-failure message.
std::optional<QueueInfo> ReadQueueInfo(HANDLE queue, Diagnostics diagnostics = Diagnostics::Written);

// The queue's status as the spooler reports it (PRINTER_STATUS_PAUSED among
// its bits), read quietly; nothing when it cannot be read.
std::optional<DWORD> QueueStatus();

// An open handle to a queue that exists and whose information can be read.
PrinterHandle GetPrinterHandle();

// The Win32 error of the calling thread's last attempt to open the queue or
// read its information: 0 when it succeeded.
DWORD LastQueueError();

// The queue's port name, or an empty string when the queue cannot be read.
std::wstring GetPrinterPort();

// Pauses the queue and replaces its status with `status`. Returns
// ERROR_SUCCESS when the queue took both commands, otherwise the error of
// the open or of the command that failed (ERROR_INVALID_PRINTER_NAME: there
// is no such queue).
DWORD SetPrinterErrorStatus(DWORD status);

// Resumes the queue and clears its status.
void ResumePrinter();
