#pragma once
// Lets the caller of a solve stop it: the solve loops call poll() at every
// step that may take a while; the caller's check is asked at most once per
// period, and the clock is read only every so many polls, so that a solve
// whose steps are short pays a decrement and a branch per poll.

#include <chrono>
#include <stdexcept>

// Thrown out of a solve whose caller's check asked it to stop. Nothing is
// rolled back, as for any failed solve.
class SolveStopped : public std::runtime_error {
 public:
  SolveStopped() : std::runtime_error("The solve was stopped by its caller.") {}
};

// The caller's check: true when the solve should stop. No check is set by
// default.
struct StopCheck {
  bool (*wants_stop)(void* context) = nullptr;
  void* context = nullptr;
};

class StopPoller {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration period = std::chrono::milliseconds(2);

  explicit StopPoller(const StopCheck& check) : check_(check), last_read_(Clock::now()), last_asked_(last_read_) {}

  // Throws SolveStopped when the check asks for it.
  void poll() {
    if (check_.wants_stop != nullptr && --countdown_ <= 0) read_clock();
  }

 private:
  void read_clock() {
    const Clock::time_point now = Clock::now();
    // Aim at a few clock reads per period whatever a poll's step costs.
    const Clock::duration gap = now - last_read_;
    if (gap < period / 8 && stride_ < max_stride)
      stride_ *= 2;
    else if (gap > period / 2 && stride_ > 1)
      stride_ /= 2;
    countdown_ = stride_;
    last_read_ = now;
    if (now - last_asked_ < period) return;
    last_asked_ = now;
    if (check_.wants_stop(check_.context)) throw SolveStopped();
  }

  static constexpr long max_stride = 1L << 20;
  StopCheck check_;
  long stride_ = 1;
  long countdown_ = 1;
  Clock::time_point last_read_;
  Clock::time_point last_asked_;
};
