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

  // Unbinds the network's holders still bound into this solver's arrays, so
  // that no holder is left pointing into freed arrays.
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

  // Called by a solve at its start, then at every step that may take a while.
  void start_polling() { stop_poller = StopPoller(stop_check); }
  void poll_stop() { stop_poller.poll(); }

 private:
  StopPoller stop_poller{StopCheck{}};
};

class BackwardForward : public AbstractSolver {
 public:
  explicit BackwardForward(ElectricalNetwork* network);

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
};
