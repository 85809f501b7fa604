#include "platform/sim/scheduler.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace sim {

namespace {
// Which participant the running thread is. Threads the scheduler did not
// start (the test's own) are the driver.
thread_local void* tParticipant = nullptr;
// Whether the calling thread is in a Win32 call that only releases what it
// held (see SwitchPoint).
thread_local bool tInReleaseCall = false;

// A killed thread that is unwinding already goes on without waiting; any
// other must not complete the call it is in.
bool Unwinding() { return std::uncaught_exceptions() > 0; }
// A release call takes its time (Pass) but never blocks: a killed thread in
// one goes on without waiting too.
bool MayPassKilled() { return tInReleaseCall || Unwinding(); }
}  // namespace

Scheduler::Scheduler() {
  auto driver = std::make_unique<Participant>();
  driver->id = 0;
  driver->name = "driver";
  driver->state = State::Running;
  participants_.push_back(std::move(driver));
}

Scheduler::~Scheduler() {
  {
    std::lock_guard lock(mutex_);
    for (auto& p : participants_) {
      if (p->id != 0) p->killed = true;
    }
  }
  RunUntil(now_);
  for (auto& p : participants_) {
    if (p->thread.joinable()) p->thread.join();
  }
}

Scheduler::Participant& Scheduler::SelfLocked() {
  if (tParticipant != nullptr) return *static_cast<Participant*>(tParticipant);
  return *participants_.front();
}

int Scheduler::CurrentProcess() const {
  std::lock_guard lock(mutex_);
  return tParticipant != nullptr ? static_cast<const Participant*>(tParticipant)->process : 0;
}

int Scheduler::LiveThreads(int process) const {
  std::lock_guard lock(mutex_);
  int live = 0;
  for (const auto& p : participants_) {
    if (p->id != 0 && p->process == process && p->state != State::Finished) ++live;
  }
  return live;
}

bool Scheduler::IsReady(const Participant& p) const {
  switch (p.state) {
    case State::New:
      return true;
    case State::Blocked:
      return p.killed || p.deadline <= now_ || (p.ready && p.ready());
    case State::Running:
    case State::Finished:
      return false;
  }
  return false;
}

void Scheduler::SetSeed(std::uint64_t seed) {
  std::lock_guard lock(mutex_);
  seeded_ = true;
  random_ = seed;
}

// splitmix64: small, fast, and the same sequence everywhere.
std::uint64_t Scheduler::NextRandom() {
  std::uint64_t z = (random_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Scheduler::Participant* Scheduler::PickReady() {
  // A thread whose process ended unwinds before anything else runs, as
  // process termination takes its threads at once.
  for (std::size_t i = 1; i < participants_.size(); ++i) {
    Participant* p = participants_[i].get();
    if (p->killed && IsReady(*p)) return p;
  }
  if (!seeded_) {
    for (std::size_t i = 1; i < participants_.size(); ++i) {
      if (IsReady(*participants_[i])) return participants_[i].get();
    }
    return nullptr;
  }
  std::vector<Participant*> ready;
  for (std::size_t i = 1; i < participants_.size(); ++i) {
    Participant* p = participants_[i].get();
    if (IsReady(*p)) ready.push_back(p);
  }
  if (ready.empty()) return nullptr;
  return ready[NextRandom() % ready.size()];
}

void Scheduler::SwitchPoint(bool release) {
  tInReleaseCall = release;
  if (tParticipant == nullptr) return;
  if (static_cast<Participant*>(tParticipant)->killed.load() && !MayPassKilled()) throw ThreadKilled{};
  // The driver runs only when the others wait; a thread that yields is ready
  // again at once, so another ready one may be drawn before it.
  if (seeded_) Pass(now_);
}

void Scheduler::HandOff() {
  for (;;) {
    Participant* next = PickReady();
    if (next == nullptr && IsReady(*participants_.front())) next = participants_.front().get();
    if (next != nullptr) {
      current_ = next->id;
      turn_.notify_all();
      return;
    }
    Millis earliest = kForever;
    for (const auto& p : participants_) {
      if (p->state == State::Blocked && p->deadline < earliest) earliest = p->deadline;
    }
    if (earliest == kForever) Deadlock();
    now_ = earliest;
  }
}

void Scheduler::Deadlock() const {
  std::fprintf(stderr, "simulated machine deadlock at %lld ms: every thread waits for ever\n",
               static_cast<long long>(now_));
  for (const auto& p : participants_) {
    if (p->state != State::Finished) std::fprintf(stderr, "  thread %d (%s)\n", p->id, p->name.c_str());
  }
  std::abort();
}

void Scheduler::RunUntil(Millis target) { Block(nullptr, target < now_ ? now_ : target); }

bool Scheduler::Block(std::function<bool()> ready, Millis deadline) {
  std::unique_lock lock(mutex_);
  Participant& self = SelfLocked();
  if (self.killed) {
    // A thread unwinding from its process's end waits for nothing: it is
    // gone as far as the machine is concerned.
    if (Unwinding()) return false;
    throw ThreadKilled{};
  }
  self.ready = std::move(ready);
  self.deadline = deadline;
  self.state = State::Blocked;
  HandOff();
  turn_.wait(lock, [&] { return current_ == self.id; });
  self.state = State::Running;
  const bool woken = self.ready && self.ready();
  self.ready = nullptr;
  self.deadline = kForever;
  if (self.killed && !Unwinding()) throw ThreadKilled{};
  return woken;
}

void Scheduler::Pass(Millis deadline) {
  std::unique_lock lock(mutex_);
  Participant& self = SelfLocked();
  if (self.killed) {
    if (MayPassKilled()) return;
    throw ThreadKilled{};
  }
  self.ready = nullptr;
  self.deadline = deadline;
  self.state = State::Blocked;
  HandOff();
  turn_.wait(lock, [&] { return current_ == self.id; });
  self.state = State::Running;
  self.deadline = kForever;
  // The process ended while the call took its time: the call never
  // completes, and nothing after it runs.
  if (self.killed && !MayPassKilled()) throw ThreadKilled{};
}

std::vector<std::unique_ptr<Scheduler::Participant>> Scheduler::TakeFinished() {
  std::vector<std::unique_ptr<Participant>> finished;
  std::erase_if(participants_, [&](std::unique_ptr<Participant>& p) {
    if (p->id == 0 || p->state != State::Finished) return false;
    finished.push_back(std::move(p));
    return true;
  });
  return finished;
}

int Scheduler::Spawn(int process, std::string name, std::function<void()> body, std::function<void()> onFinish) {
  std::vector<std::unique_ptr<Participant>> finished;
  int id = 0;
  {
    std::lock_guard lock(mutex_);
    finished = TakeFinished();
    auto participant = std::make_unique<Participant>();
    Participant* p = participant.get();
    p->id = id = nextId_++;
    p->process = process;
    p->name = std::move(name);
    p->body = std::move(body);
    p->onFinish = std::move(onFinish);
    participants_.push_back(std::move(participant));
    p->thread = std::thread([this, p] { ThreadMain(p); });
  }
  // A finished thread may still be leaving ThreadMain; it needs the mutex to
  // do so, so it is joined outside it.
  for (auto& p : finished) p->thread.join();
  return id;
}

void Scheduler::ThreadMain(Participant* self) {
  tParticipant = self;
  {
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return current_ == self->id; });
    self->state = State::Running;
  }
  try {
    if (!self->killed) self->body();
  } catch (const ThreadKilled&) {
    // The process ended under this thread.
  }
  if (self->onFinish) self->onFinish();
  std::lock_guard lock(mutex_);
  self->state = State::Finished;
  self->body = nullptr;
  self->onFinish = nullptr;
  HandOff();
}

void Scheduler::JoinFinished() {
  std::vector<std::unique_ptr<Participant>> finished;
  {
    std::lock_guard lock(mutex_);
    finished = TakeFinished();
  }
  for (auto& p : finished) p->thread.join();
}

bool Scheduler::CurrentThreadKilled() const {
  return tParticipant != nullptr && static_cast<const Participant*>(tParticipant)->killed.load();
}

std::vector<std::string> Scheduler::OtherLiveThreads(int process) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& p : participants_) {
    if (p->id != 0 && p.get() != tParticipant && p->process == process && p->state != State::Finished) {
      names.push_back(p->name);
    }
  }
  return names;
}

void Scheduler::Kill(int process) {
  std::lock_guard lock(mutex_);
  for (auto& p : participants_) {
    if (p->id != 0 && p->process == process && p->state != State::Finished) p->killed = true;
  }
}

}  // namespace sim
