// The conformance suite: the simulated machine held against what Windows
// does, as Wine's conformance tests (dlls/*/tests) and Microsoft's
// documentation record it, for every Win32 function the service calls.
//
// Each recorded behaviour is one Behaviour scope, with its source in a
// comment beside it; the expectations made inside the scope are its check.
// A behaviour the simulated machine does not model is a NotModelled scope
// that says why: its expectations state Windows' answer and are expected to
// fail here; they are reported, and the scope fails the test should they
// all hold (the entry would be out of date). At the end the suite prints
//   conformance: N behaviours checked, M match, K not modelled
// and fails if a function the service calls has no behaviour checked.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/sim/machine.h"

namespace conformance {

// One behaviour of `function` that the simulated machine must show.
class Behaviour {
 public:
  Behaviour(std::string function, std::string what);
  ~Behaviour();
  Behaviour(const Behaviour&) = delete;
  Behaviour& operator=(const Behaviour&) = delete;

 private:
  std::string function_;
  std::string what_;
  int firstPart_;
};

// One behaviour of `function` that the simulated machine does not model,
// and `why`.
class NotModelled {
 public:
  NotModelled(std::string function, std::string what, std::string why);
  ~NotModelled();
  NotModelled(const NotModelled&) = delete;
  NotModelled& operator=(const NotModelled&) = delete;

 private:
  std::string function_;
  std::string what_;
  std::string why_;
  ::testing::TestPartResultArray differences_;
  std::optional<::testing::ScopedFakeTestPartResultReporter> reporter_;
};

// A fresh simulated machine for each test.
class Conformance : public ::testing::Test {
 protected:
  sim::Machine machine;
};

}  // namespace conformance
