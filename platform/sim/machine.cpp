// The driver's side of the simulated machine.
#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/machine_state.h"

namespace sim {

namespace {

constexpr char kDeviceClassesKey[] =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\";
constexpr char kUsbMonitorPortsKey[] = "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
constexpr char kApplicationLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

std::vector<std::string> Lines(const std::vector<TraceEntry>& trace, TraceEntry::Channel channel) {
  std::vector<std::string> lines;
  for (const auto& entry : trace) {
    if (entry.channel == channel) lines.push_back(entry.text);
  }
  return lines;
}

SimDevice& RequireDevice(MachineState& m, const std::wstring& path) {
  SimDevice* device = m.devices.Find(path);
  if (device == nullptr) {
    std::fprintf(stderr, "no device %s on the simulated machine\n", Narrow(path).c_str());
    std::abort();
  }
  return *device;
}

}  // namespace

SimDevice* Devices::Find(std::wstring_view path) {
  const auto it = std::find_if(all.begin(), all.end(), [&](const SimDevice& d) { return EqualNoCase(d.path, path); });
  return it == all.end() ? nullptr : &*it;
}

int HandleCounts::Total() const {
  int total = 0;
  for (const auto& [kind, count] : byKind) total += count;
  return total;
}

Machine::Machine() : state_(std::make_unique<MachineState>()) { SetCurrent(state_.get()); }

Machine::~Machine() {
  // The scheduler ends the remaining threads while the machine is still
  // current: their unwinding may close handles.
  state_.reset();
  SetCurrent(nullptr);
}

Millis Machine::Now() const { return state_->Now(); }

void Machine::RunUntilIdle() { state_->scheduler.RunUntil(state_->Now()); }

void Machine::Advance(Millis duration) { state_->scheduler.RunUntil(state_->Now() + duration); }

void Machine::SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type, std::string bytes) {
  const std::string key = Registry::Normalize(keyPath);
  state_->registry.CreateKey(key);
  RegistryValue value{type, {}, {}};
  if (RegistryValue::IsText(type)) {
    value.text = FromCodePage(state_->systemCodePage, bytes);
  } else {
    value.bytes = std::move(bytes);
  }
  state_->registry.keys[key][Registry::Normalize(name)] = std::move(value);
}

void Machine::SetRegistryString(const std::string& keyPath, const std::string& name, const std::string& text) {
  SetRegistryValue(keyPath, name, REG_SZ, text + '\0');
}

void Machine::SetRegistryString(const std::string& keyPath, const std::string& name, const std::wstring& text) {
  SetRegistryText(keyPath, name, REG_SZ, text + L'\0');
}

void Machine::SetRegistryText(const std::string& keyPath, const std::string& name, DWORD type, std::wstring text) {
  const std::string key = Registry::Normalize(keyPath);
  state_->registry.CreateKey(key);
  state_->registry.keys[key][Registry::Normalize(name)] = RegistryValue{type, {}, std::move(text)};
}

void Machine::SetCodePages(UINT systemCodePage, UINT threadCodePage) {
  if (!IsSimulatedCodePage(systemCodePage) || !IsSimulatedCodePage(threadCodePage)) {
    std::fprintf(stderr, "code pages %u/%u are not simulated (1252, 936 and 65001 are)\n", systemCodePage,
                 threadCodePage);
    std::abort();
  }
  state_->systemCodePage = systemCodePage;
  state_->threadCodePage = threadCodePage;
}

UINT Machine::SystemCodePage() const { return state_->systemCodePage; }

UINT Machine::ThreadCodePage() const { return state_->threadCodePage; }

void Machine::DeleteRegistryKey(const std::string& keyPath) {
  const std::string key = Registry::Normalize(keyPath);
  const std::string subkeys = key + "\\";
  std::erase_if(state_->registry.keys,
                [&](const auto& entry) { return entry.first == key || entry.first.starts_with(subkeys); });
}

void Machine::AddQueue(const std::wstring& name, const std::wstring& port) {
  state_->spooler.queues.push_back({name, port, false, 0, DriverDevMode(name)});
}

void Machine::DeleteQueue(const std::wstring& name) {
  std::erase_if(state_->spooler.queues, [&](const SimQueue& q) { return EqualNoCase(q.name, name); });
}

void Machine::SetQueuePort(const std::wstring& name, const std::wstring& port) {
  if (SimQueue* queue = state_->spooler.FindQueue(name)) queue->port = port;
}

std::optional<QueueState> Machine::Queue(const std::wstring& name) const {
  const SimQueue* queue = state_->spooler.FindQueue(name);
  if (queue == nullptr) return std::nullopt;
  return QueueState{queue->port, queue->paused, queue->status};
}

void Machine::AddPort(const std::wstring& name, std::optional<std::string> deviceId) {
  if (state_->spooler.HasPort(name)) {
    DeleteRegistryKey(UsbMonitorPortKeyPath(name));
  } else {
    const bool usb = name.find(L"USB") != std::wstring::npos;
    state_->spooler.ports.push_back(
        {name, usb ? L"USB Monitor" : L"Local Port", usb ? L"Virtual printer port for USB" : L"Local Port"});
  }
  if (deviceId) SetRegistryString(UsbMonitorPortKeyPath(name), "Device Id", *deviceId);
}

const std::vector<SpoolerCommand>& Machine::SpoolerJournal() const { return state_->spooler.journal; }

void Machine::RejectPortWrites(DWORD error) { state_->spooler.portWriteError = error; }

void Machine::FailPortEnumeration(DWORD error) { state_->spooler.enumPortsError = error; }

void Machine::SetPrinterAdministration(bool allowed) { state_->spooler.mayAdminister = allowed; }

bool Machine::SpoolerRunning() const { return state_->SpoolerUp(); }

DWORD Machine::SpoolerState() const { return state_->scm.spooler.state; }

DWORD Machine::StopSpooler() {
  const DWORD state = state_->scm.spooler.state;
  if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (state != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  StopSpoolerDependents(*state_);
  BeginSpoolerStop(*state_);
  return ERROR_SUCCESS;
}

DWORD Machine::StartSpooler() { return StartSpoolerService(*state_); }

void Machine::SetSpoolerStopTime(Millis duration) { state_->scm.spooler.stopTime = duration; }

void Machine::SetSpoolerStartTime(Millis duration) { state_->scm.spooler.startTime = duration; }

void Machine::SetSpoolerDependent(const std::string& name, bool running) {
  state_->scm.spooler.dependents[name] = running;
}

void Machine::SetSpoolerLatency(Millis latency) { state_->scm.spooler.callLatency = latency; }

void Machine::SetRegistryLatency(Millis latency) { state_->registry.callLatency = latency; }

int Machine::SpoolerRestarts() const { return state_->scm.spooler.restarts; }

void Machine::SetServiceManagerUnreachable(DWORD error) { state_->scm.unreachableError = error; }

void Machine::SetServiceManagerLatency(Millis latency) { state_->scm.callLatency = latency; }

void Machine::InstallService(const std::string& name, std::function<int()> processEntry) {
  InstalledService service;
  service.name = name;
  service.entry = std::move(processEntry);
  service.last = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  state_->scm.service = std::move(service);
}

void Machine::RegisterEventLogSource(const std::wstring& source, const std::string& messageFile) {
  const std::string key = EventLogSourceKeyPath(source);
  SetRegistryValue(key, "EventMessageFile", REG_EXPAND_SZ, messageFile + '\0');
  constexpr DWORD kErrorWarningInformation = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  std::string typesSupported(sizeof(DWORD), '\0');
  for (std::size_t i = 0; i < sizeof(DWORD); ++i)
    typesSupported[i] = static_cast<char>(kErrorWarningInformation >> (8 * i));
  SetRegistryValue(key, "TypesSupported", REG_DWORD, typesSupported);
}

std::string Machine::EventLogSourceKeyPath(const std::wstring& source) { return kApplicationLogKey + Narrow(source); }

DWORD Machine::StartService() { return StartInstalledService(*state_); }

DWORD Machine::SendControl(DWORD control) { return ControlInstalledService(*state_, control); }

int Machine::RunConsoleProcess(const std::function<int()>& processEntry) {
  const auto process = StartProcess(*state_, false, processEntry);
  while (!process->ended) {
    RunUntilIdle();
    if (!process->ended) Advance(1000);
  }
  return process->exitCode.value_or(-1);
}

bool Machine::ServiceProcessRunning() const {
  const auto& service = state_->scm.service;
  return service && service->process && !service->process->ended;
}

std::optional<int> Machine::ServiceExitCode() const {
  const auto& service = state_->scm.service;
  if (!service || !service->process) return std::nullopt;
  return service->process->exitCode;
}

Millis Machine::LongestControl() const { return state_->scm.service ? state_->scm.service->longestControl : 0; }

int Machine::ControlTimeouts() const { return state_->scm.service ? state_->scm.service->controlTimeouts : 0; }

std::vector<SERVICE_STATUS> Machine::StatusReports() const {
  return state_->scm.service ? state_->scm.service->reports : std::vector<SERVICE_STATUS>{};
}

std::vector<DWORD> Machine::HandlerResults() const {
  return state_->scm.service ? state_->scm.service->handlerResults : std::vector<DWORD>{};
}

DWORD Machine::ServiceState() const {
  return state_->scm.service ? state_->scm.service->last.dwCurrentState : static_cast<DWORD>(SERVICE_STOPPED);
}

void Machine::AddDevice(const std::wstring& path, std::optional<std::string> description, BYTE status,
                        PathCase notifyCase) {
  SimDevice device;
  device.path = path;
  device.status = status;
  device.notifyCase = notifyCase;
  state_->devices.all.push_back(device);
  if (description) SetRegistryString(PrintInterfaceKeyPath(path), "Port Description", *description);
}

void Machine::SetDeviceDescription(const std::wstring& path, std::optional<std::string> description) {
  RequireDevice(*state_, path);
  // The print interface's own key is the parent of "#\Device Parameters".
  std::string interfaceKey = PrintInterfaceKeyPath(path);
  interfaceKey.resize(interfaceKey.rfind('\\'));
  interfaceKey.resize(interfaceKey.rfind('\\'));
  if (description) {
    SetRegistryString(PrintInterfaceKeyPath(path), "Port Description", *description);
  } else {
    DeleteRegistryKey(interfaceKey);
  }
}

bool Machine::HasDevice(const std::wstring& path) const { return state_->devices.Find(path) != nullptr; }

void ArriveDevice(MachineState& m, SimDevice& device) {
  device.present = true;
  ++device.generation;
  m.devices.presentOrder.push_back(device.path);
  m.Log(TraceEntry::Channel::Device, "plugged " + Narrow(device.path));
  NotifyDeviceInterface(m, DBT_DEVICEARRIVAL, kUsbDeviceClass, Cased(device.path, device.notifyCase));
}

void Machine::Plug(const std::wstring& path) {
  SimDevice& device = RequireDevice(*state_, path);
  if (device.present || device.arrivalHeld) return;
  if (device.removalPending) {
    device.arrivalHeld = true;
    state_->Log(TraceEntry::Channel::Device,
                "plugged back " + Narrow(device.path) + ": it arrives once its removal completes (a handle is open)");
    return;
  }
  ArriveDevice(*state_, device);
}

// Windows: the drivers of a surprise-removed device fail every new and
// outstanding request but close, and registered programs are told of the
// removal at once; the device's objects are removed (IRP_MN_REMOVE_DEVICE)
// only after all open handles to it are closed, never while one stays open
// (Microsoft docs, "Handling an IRP_MN_SURPRISE_REMOVAL Request"). So the same
// instance, plugged back meanwhile, is not started until then: inferred from
// that page, not measured on a till.
void Machine::Unplug(const std::wstring& path) {
  SimDevice& device = RequireDevice(*state_, path);
  if (device.arrivalHeld) {
    device.arrivalHeld = false;  // out again before it could arrive
    state_->Log(TraceEntry::Channel::Device, "unplugged " + Narrow(device.path) + " before it arrived");
    return;
  }
  if (!device.present) return;
  device.present = false;
  std::erase_if(state_->devices.presentOrder, [&](const std::wstring& p) { return EqualNoCase(p, device.path); });
  state_->Log(TraceEntry::Channel::Device, "unplugged " + Narrow(device.path));
  int open = 0;
  state_->handles.ForEach<DeviceFile>([&](const DeviceFile& file) {
    if (file.generation == device.generation && EqualNoCase(file.path, device.path)) ++open;
  });
  if (state_->devices.removalWaitsForHandles && open > 0) {
    device.removalPending = true;
    state_->Log(TraceEntry::Channel::Device, "removal of " + Narrow(device.path) + " waits for " +
                                                 std::to_string(open) + (open == 1 ? " open handle" : " open handles"));
  }
  NotifyDeviceInterface(*state_, DBT_DEVICEREMOVECOMPLETE, kUsbDeviceClass, Cased(device.path, device.notifyCase));
}

void Machine::SetRemovalWaitsForHandles(bool waits) { state_->devices.removalWaitsForHandles = waits; }

void Machine::SetSpoolerForgetsStatus(bool forgets) { state_->scm.spooler.forgetsStatus = forgets; }

void Machine::SetDeviceStatus(const std::wstring& path, BYTE status) {
  RequireDevice(*state_, path).status = status;
  state_->Log(TraceEntry::Channel::Device, "status of " + Narrow(path) + " is " + Hex(status));
}

void Machine::SetDeviceFaults(const std::wstring& path, const DeviceFaults& faults) {
  RequireDevice(*state_, path).faults = faults;
}

void Machine::DeliverDeviceEvent(DWORD eventType, std::vector<BYTE> record) {
  QueueServiceControl(*state_, SERVICE_CONTROL_DEVICEEVENT, eventType, std::move(record));
}

std::string Machine::PrintInterfaceKeyPath(const std::wstring& path) {
  // The print interface of a USB printer is registered under the device's
  // interface path with its separators made "#" and its own class appended.
  std::string key = Narrow(path);
  std::replace(key.begin(), key.end(), '\\', '#');
  const std::size_t cut = key.rfind('#');
  if (cut != std::string::npos) key.resize(cut);
  return kDeviceClassesKey + key + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters";
}

std::string Machine::UsbMonitorPortKeyPath(const std::wstring& port) { return kUsbMonitorPortsKey + Narrow(port); }

const std::vector<TraceEntry>& Machine::Trace() const { return state_->trace; }

std::vector<std::string> Machine::Faults() const { return Lines(state_->trace, TraceEntry::Channel::Fault); }

void Machine::SetTickCount(DWORD ticks) { state_->tickOffset = ticks - static_cast<DWORD>(state_->Now()); }

std::vector<std::string> Machine::DebugLines() const { return Lines(state_->trace, TraceEntry::Channel::Debug); }

std::vector<std::string> Machine::StdoutLines() const { return Lines(state_->trace, TraceEntry::Channel::Stdout); }

const std::vector<EventLogEntry>& Machine::EventLog() const { return state_->eventLog; }

void Machine::ForgetHistory() {
  std::vector<TraceEntry>().swap(state_->trace);
  std::vector<SpoolerCommand>().swap(state_->spooler.journal);
  std::vector<EventLogEntry>().swap(state_->eventLog);
  if (state_->scm.service) {
    std::vector<SERVICE_STATUS>().swap(state_->scm.service->reports);
    std::vector<DWORD>().swap(state_->scm.service->handlerResults);
  }
}

std::map<std::string, std::uint64_t> Machine::CallCounts() const { return state_->CallCountsByName(); }

void Machine::ResetCallCounts() { state_->callCounts = {}; }

void Machine::SetScheduleSeed(std::uint64_t seed) { state_->scheduler.SetSeed(seed); }

int Machine::LiveThreads(int process) const { return state_->scheduler.LiveThreads(process); }

int Machine::ThreadsOfEndedProcesses() const {
  int live = 0;
  for (const auto& process : state_->scm.processes) {
    if (process->ended) live += state_->scheduler.LiveThreads(process->id);
  }
  return live;
}

void Machine::JoinFinishedThreads() { state_->scheduler.JoinFinished(); }

HandleCounts Machine::OpenHandles() const {
  HandleCounts counts;
  counts.byKind = state_->handles.CountByKind();
  if (const auto& blocks = state_->globalMemory.blocks; !blocks.empty()) {
    counts.byKind["global-memory"] = static_cast<int>(blocks.size());
  }
  for (const auto& [kind, count] : state_->leftOpenAtExit) counts.byKind[kind] += count;
  return counts;
}

}  // namespace sim
