#pragma once
// Solver base and the backward-forward sweep solver.
//
// Threads. The engine starts none and takes no lock. What may run at once:
// - calls on different networks, their elements and solvers, provided no
//   Newton solver is among them (below); shared nodes are counted with
//   atomic reference counts, so releasing them is safe from any thread;
// - nothing else. One thread at a time per network and solver: joins,
//   element reads and updates, solver construction, solves and diagnostics
//   all read and write the same holders, nodes and arrays unguarded.
// The differentiation library runs in its single-thread mode, and its
// recording slot, memory pool (see TaylorMemoryPool) and error handler are
// process-wide: no two Newton solvers may be created, solved or queried at
// the same time, even on different networks. The caller keeps these apart
// (the Python binding does, with one gate for every call into the engine).

#include <utility>

#include <Eigen/Dense>

#include "model/network.hpp"
#include "solvers/stop_check.hpp"

class AbstractSolver {
 public:
  ElectricalNetwork* network;
  Eigen::VectorXd variables;
  Eigen::VectorXd initial_variables;
  Eigen::VectorXd parameters;
  // Asked while a solve runs; a solve it stops throws SolveStopped.
  StopCheck stop_check;

  // Unbinds the holders this solver bound that still point into its arrays,
  // so that none is left pointing into freed arrays.
  virtual ~AbstractSolver();

  // (iterations performed, final error).
  virtual std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) = 0;

  // variables[i] := values[i] for every i < n, in place: the bound holders
  // point into the array. Nothing is re-evaluated.
  void set_variables(const double* values);
  // variables := initial_variables, in place.
  void reset_inputs();

  AbstractSolver(const AbstractSolver&) = delete;
  AbstractSolver& operator=(const AbstractSolver&) = delete;

 protected:
  // Loads the network's initial variables and parameters; binds nothing.
  explicit AbstractSolver(ElectricalNetwork* network);

  // Binds every holder of the network to this solver's arrays, with the
  // given tape values.
  void bind_network(TapeArray& X, TapeArray& P);

  // A solve, and a diagnostic, polls from its start to its end at every step
  // that may take a while; outside such a scope poll_stop() does nothing.
  class PollingScope {
   public:
    explicit PollingScope(AbstractSolver& solver) : solver_(solver), outer_(solver.stop_poller) {
      solver_.stop_poller = StopPoller(solver_.stop_check);
    }
    // A solve run by the check itself (a signal handler) hands back the outer one's.
    ~PollingScope() { solver_.stop_poller = outer_; }
    PollingScope(const PollingScope&) = delete;
    PollingScope& operator=(const PollingScope&) = delete;

   private:
    AbstractSolver& solver_;
    StopPoller outer_;
  };
  [[nodiscard]] PollingScope start_polling() { return PollingScope(*this); }
  void poll_stop() { stop_poller.poll(); }

 private:
  StopPoller stop_poller{StopCheck{}};
  BindingRecord bindings_;
};

class BackwardForward : public AbstractSolver {
 public:
  explicit BackwardForward(ElectricalNetwork* network);

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
};
