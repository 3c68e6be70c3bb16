#include "engine_gate.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform.hpp"

namespace cy {
namespace {

// Entering and leaving cost one atomic exchange each when nobody waits:
// every call into the engine passes here.
std::atomic<PyThreadState*> holder{nullptr};  // the thread inside, or null
long depth = 0;  // its nesting; only the thread inside touches it
std::atomic<int> waiting{0};
// Only for the waits; never held while Python code runs or while the
// interpreter is taken back.
std::mutex wait_mutex;
std::condition_variable freed;

constexpr std::chrono::milliseconds signal_check_period(5);

bool try_enter() {
  PyThreadState* self = PyThreadState_Get();
  if (holder.load(std::memory_order_relaxed) == self) {  // only this thread can have stored itself
    ++depth;
    return true;
  }
  PyThreadState* none = nullptr;
  if (!holder.compare_exchange_strong(none, self)) return false;
  depth = 1;
  return true;
}

bool is_free() { return holder.load() == nullptr; }

// The gate is entered only while this thread holds the interpreter, so a
// thread that leaves for good in restore_thread has not entered it.
bool enter() {
  const bool main_thread = platform::is_main_thread();
  for (;;) {
    PyThreadState* state = PyEval_SaveThread();
    ++waiting;
    {
      std::unique_lock<std::mutex> lock(wait_mutex);
      if (main_thread)
        freed.wait_for(lock, signal_check_period, is_free);
      else
        freed.wait(lock, is_free);
    }
    --waiting;
    platform::restore_thread(state);
    if (main_thread && PyErr_CheckSignals() < 0) return false;
    if (try_enter()) return true;
  }
}

void leave() {
  if (--depth > 0) return;
  holder.store(nullptr);
  // A waiter counted before this store sees the gate free or is woken here;
  // one counted after it sees the gate free when it looks.
  if (waiting.load() > 0) {
    const std::lock_guard<std::mutex> lock(wait_mutex);
    freed.notify_all();
  }
}

}  // namespace

EngineGate::EngineGate() : entered_(try_enter() || enter()) {}

EngineGate::~EngineGate() {
  if (entered_) leave();
}

}  // namespace cy
