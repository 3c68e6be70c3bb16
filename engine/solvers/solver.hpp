#pragma once
// Solver base and the backward-forward sweep solver.

#include <utility>

#include <Eigen/Dense>

#include "model/network.hpp"

class AbstractSolver {
 public:
  ElectricalNetwork* network;
  Eigen::VectorXd variables;
  Eigen::VectorXd initial_variables;
  Eigen::VectorXd parameters;

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

 private:
  BindingRecord bindings_;
};

class BackwardForward : public AbstractSolver {
 public:
  explicit BackwardForward(ElectricalNetwork* network);

  std::pair<int, double> solve_load_flow(int max_iterations, double tolerance) override;
};
