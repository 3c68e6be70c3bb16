#pragma once
// One call at a time in the engine, process-wide. A solve in a worker thread
// lets the interpreter go now and then at its polls (so that the main thread
// can run its signal handlers); the gate keeps every other call into the
// engine out until that solve's call returns, as the interpreter lock used to. Calls
// from the thread that holds it (a signal handler run by its solve, a
// collector callback) pass. Deallocation does not take it: what a running
// call uses is kept alive by that call.

namespace cy {

class EngineGate {
 public:
  // Enters, waiting with the interpreter released while another thread is
  // inside; on the main thread the wait runs the signal handlers every few
  // milliseconds. Check entered(): false when a handler raised (the call is
  // then to fail with that exception, having done nothing).
  EngineGate();
  ~EngineGate();
  EngineGate(const EngineGate&) = delete;
  EngineGate& operator=(const EngineGate&) = delete;

  bool entered() const { return entered_; }

 private:
  bool entered_;
};

}  // namespace cy
