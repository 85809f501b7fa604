// Holding a slim lock for the length of a scope.
#pragma once

#include "platform/win32_api.h"

// Owns `lock` exclusively from construction to destruction.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

// Owns `lock` exclusively from construction to destruction if it was free at
// construction; never waits for it.
class TryExclusiveLock {
 public:
  explicit TryExclusiveLock(SRWLOCK& lock) : lock_(lock), owned_(TryAcquireSRWLockExclusive(&lock_) != 0) {}
  ~TryExclusiveLock() {
    if (owned_) ReleaseSRWLockExclusive(&lock_);
  }
  TryExclusiveLock(const TryExclusiveLock&) = delete;
  TryExclusiveLock& operator=(const TryExclusiveLock&) = delete;

  [[nodiscard]] bool Owned() const { return owned_; }

 private:
  SRWLOCK& lock_;
  bool owned_;
};
