#pragma once
// Solver base and the backward-forward sweep solver.

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
