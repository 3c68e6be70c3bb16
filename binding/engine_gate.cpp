#include "engine_gate.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform.hpp"

namespace cy {
namespace {

// Never held while Python code runs or while the interpreter is taken back.
std::mutex gate_mutex;
std::condition_variable gate_freed;
std::thread::id holder;
long depth = 0;

constexpr std::chrono::milliseconds signal_check_period(5);

bool try_enter(std::thread::id me) {
  const std::lock_guard<std::mutex> lock(gate_mutex);
  if (depth > 0 && holder != me) return false;
  holder = me;
  ++depth;
  return true;
}

bool gate_free() { return depth == 0; }

// The gate is entered only while this thread holds the interpreter, so a
// thread that leaves for good in restore_thread has not entered it.
bool enter(std::thread::id me) {
  const bool main_thread = platform::is_main_thread();
  for (;;) {
    PyThreadState* state = PyEval_SaveThread();
    {
      std::unique_lock<std::mutex> lock(gate_mutex);
      if (main_thread)
        gate_freed.wait_for(lock, signal_check_period, gate_free);
      else
        gate_freed.wait(lock, gate_free);
    }
    platform::restore_thread(state);
    if (main_thread && PyErr_CheckSignals() < 0) return false;
    if (try_enter(me)) return true;
  }
}

void leave() {
  bool freed;
  {
    const std::lock_guard<std::mutex> lock(gate_mutex);
    freed = --depth == 0;
    if (freed) holder = std::thread::id();
  }
  if (freed) gate_freed.notify_all();
}

}  // namespace

EngineGate::EngineGate() {
  const std::thread::id me = std::this_thread::get_id();
  entered_ = try_enter(me) || enter(me);
}

EngineGate::~EngineGate() {
  if (entered_) leave();
}

}  // namespace cy
