// Deterministic scheduling of the simulated machine's threads.
//
// Simulated threads are real threads, but only the one holding the baton
// runs. A thread gives the baton up in a blocking call (Block), naming
// what wakes it: a condition over the machine's state, a virtual deadline, or
// both. By default the next thread is the first ready one in creation order,
// and a thread runs on until it blocks. With a seed, every Win32 call is
// also a switch point, and the next thread is drawn at random (uniformly)
// among the ready ones at every switch point and every block: a random walk
// over the interleavings, the same walk for the same seed. Either way, when
// none is ready, the virtual clock jumps to the earliest deadline. The driver (the
// test or the scenario runner) is a participant too: it runs when no
// simulated thread is ready, so "do this, then run until every thread waits"
// is one well-defined step, and the same steps give the same interleaving on
// every run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// Virtual time in milliseconds since the machine started.
using Millis = std::int64_t;
inline constexpr Millis kForever = std::numeric_limits<Millis>::max();

// Thrown in a thread whose process has ended, from the call it was in or the
// next one it makes, so that the thread unwinds and finishes without doing
// anything more. Simulated threads never catch it.
struct ThreadKilled {};

class Scheduler {
 public:
  // The constructing thread becomes the driver and holds the baton.
  Scheduler();
  // Ends every thread still alive (as process termination does) and joins it.
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  [[nodiscard]] Millis Now() const { return now_; }

  // Driver only: runs the threads until none is ready at a time at or before
  // `target`, then leaves the clock at `target` (or where it was, if later).
  void RunUntil(Millis target);

  // Starts a thread in `process`. It becomes ready at once but first runs
  // when the caller blocks. `onFinish` runs while it still holds the baton,
  // after `body` returned or unwound.
  int Spawn(int process, std::string name, std::function<void()> body, std::function<void()> onFinish = {});

  // Blocks the calling participant until `ready` (evaluated by whichever
  // thread holds the baton) holds or the clock reaches `deadline`. Returns
  // whether `ready` held. A null `ready` waits for the deadline alone.
  // In a thread whose process has ended it throws ThreadKilled, or, while
  // that thread unwinds or is in a release call, returns false at once.
  bool Block(std::function<bool()> ready, Millis deadline);

  // Draws the choice of the next thread from `seed` from now on, and makes
  // every SwitchPoint a point where another thread may run.
  void SetSeed(std::uint64_t seed);
  [[nodiscard]] bool Seeded() const { return seeded_; }

  // Called by a simulated thread at the start of every Win32 call: with a
  // seed, another ready thread may run first. Without one it does nothing,
  // so the default order is the one a thread gets by running until it
  // blocks. `release` says the call only releases what the thread held
  // (what destructors call): a thread whose process has ended unwinds from
  // any other call, never completing it, but runs a release call on without
  // waiting, since a destructor cannot be unwound (and the handle it closes
  // went with the process).
  void SwitchPoint(bool release);

  // Lets the calling thread's time pass until `deadline`, as a call that
  // takes time does. Like Block, it ends a thread whose process has ended:
  // the call it is in never completes (unless it is a release call).
  void Pass(Millis deadline);

  // Ends every thread of `process`, as process termination does: each
  // unwinds from the call it is in (the caller, if it is one of them, from
  // its next call that waits), before any other thread runs again, and
  // nothing it calls while unwinding waits or takes time.
  void Kill(int process);

  // Whether the calling thread's process has ended under it.
  [[nodiscard]] bool CurrentThreadKilled() const;

  // The process of the calling thread (0 for the driver and the machine's
  // own threads).
  [[nodiscard]] int CurrentProcess() const;
  [[nodiscard]] int LiveThreads(int process) const;
  // The names of the threads of `process` still alive, other than the caller.
  [[nodiscard]] std::vector<std::string> OtherLiveThreads(int process) const;

  // Driver only: joins the threads that have finished, so that what their
  // real threads held is released before the caller measures the heap.
  void JoinFinished();

 private:
  enum class State { New, Running, Blocked, Finished };
  struct Participant {
    int id = 0;
    int process = 0;
    std::string name;
    State state = State::New;
    std::function<bool()> ready;
    Millis deadline = kForever;
    // Read without the mutex by the thread itself (CurrentThreadKilled).
    std::atomic<bool> killed{false};
    std::function<void()> body;
    std::function<void()> onFinish;
    std::thread thread;
  };

  Participant& SelfLocked();
  bool IsReady(const Participant& p) const;
  // Takes finished threads out of the table; the caller joins them.
  std::vector<std::unique_ptr<Participant>> TakeFinished();
  // Picks the next participant and passes the baton to it, advancing the
  // clock as needed. The caller holds the mutex and has already left the
  // running state.
  void HandOff();
  void ThreadMain(Participant* self);
  [[noreturn]] void Deadlock() const;

  // The next participant to run among the ready ones, or null.
  Participant* PickReady();
  std::uint64_t NextRandom();

  bool seeded_ = false;
  std::uint64_t random_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable turn_;
  int current_ = 0;
  int nextId_ = 1;
  Millis now_ = 0;
  // In creation order; the driver is always first.
  std::vector<std::unique_ptr<Participant>> participants_;
};

}  // namespace sim
