// Compiled into every Windows build: the ids the service reports
// (common/event_log.h) are those the message compiler gave the entries of
// windows/messages.mc (messages.h), severity bits included. An entry whose
// id or severity differs stops the build here.
#include "common/event_log.h"
#include "messages.h"

static_assert(MessageIdOf(ServiceEvent::ServiceStarted) == SPOOLSYNC_SERVICE_STARTED);
static_assert(MessageIdOf(ServiceEvent::ServiceStopped) == SPOOLSYNC_SERVICE_STOPPED);
static_assert(MessageIdOf(ServiceEvent::PrinterUnplugged) == SPOOLSYNC_PRINTER_UNPLUGGED);
static_assert(MessageIdOf(ServiceEvent::PrinterBack) == SPOOLSYNC_PRINTER_BACK);
static_assert(MessageIdOf(ServiceEvent::QueueRebound) == SPOOLSYNC_QUEUE_REBOUND);
static_assert(MessageIdOf(ServiceEvent::SpoolerStarted) == SPOOLSYNC_SPOOLER_STARTED);
static_assert(MessageIdOf(ServiceEvent::OfflineSet) == SPOOLSYNC_OFFLINE_SET);
static_assert(MessageIdOf(ServiceEvent::SpoolerBack) == SPOOLSYNC_SPOOLER_BACK);
static_assert(MessageIdOf(ServiceEvent::QueueMissing) == SPOOLSYNC_QUEUE_MISSING);
static_assert(MessageIdOf(ServiceEvent::SpoolerStopRefused) == SPOOLSYNC_SPOOLER_STOP_REFUSED);
static_assert(MessageIdOf(ServiceEvent::SpoolerStartOwed) == SPOOLSYNC_SPOOLER_START_OWED);
static_assert(MessageIdOf(ServiceEvent::PrinterRecordsLate) == SPOOLSYNC_PRINTER_RECORDS_LATE);
static_assert(MessageIdOf(ServiceEvent::OfflineNotSet) == SPOOLSYNC_OFFLINE_NOT_SET);
static_assert(MessageIdOf(ServiceEvent::RebindFailed) == SPOOLSYNC_REBIND_FAILED);
static_assert(MessageIdOf(ServiceEvent::PortWritesRefused) == SPOOLSYNC_PORT_WRITES_REFUSED);
static_assert(MessageIdOf(ServiceEvent::SpoolerNotBack) == SPOOLSYNC_SPOOLER_NOT_BACK);
static_assert(std::size(kServiceEvents) == 16, "an entry added to ServiceEvent is checked here too");
