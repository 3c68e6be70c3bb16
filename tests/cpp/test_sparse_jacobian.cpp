#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "solver_cases.hpp"
#include "solvers/newton.hpp"
#include "solvers/sparse_jacobian.hpp"

using namespace solver_cases;

namespace {
void expect_same_matrix(const Eigen::SparseMatrix<double>& a, const Eigen::SparseMatrix<double>& b) {
  ASSERT_EQ(a.nonZeros(), b.nonZeros());
  for (Eigen::Index j = 0; j <= a.outerSize(); ++j) EXPECT_EQ(a.outerIndexPtr()[j], b.outerIndexPtr()[j]);
  for (Eigen::Index k = 0; k < a.nonZeros(); ++k) {
    EXPECT_EQ(a.innerIndexPtr()[k], b.innerIndexPtr()[k]);
    EXPECT_EQ(std::memcmp(a.valuePtr() + k, b.valuePtr() + k, sizeof(double)), 0) << k;
  }
}
}  // namespace

TEST(Newton, JacobianMatchesFiniteDifferences) {
  RadialCase radial;
  Newton solver(&radial.net, false);
  // Move off the initial point so that every term matters.
  const int n = static_cast<int>(solver.variables.size());
  for (int k = 0; k < n; ++k) solver.variables[k] += 0.37 * (k + 1);
  const Eigen::MatrixXd sparse = Eigen::MatrixXd(solver.compute_jacobian());
  const Eigen::VectorXd dense = solver.get_jacobian();
  ASSERT_EQ(dense.size(), n * n);
  const Eigen::VectorXd x = solver.variables;
  for (int j = 0; j < n; ++j) {
    const double h = 1e-6 * std::max(1.0, std::abs(x[j]));
    solver.variables = x;
    solver.variables[j] += h;
    const Eigen::VectorXd up = solver.compute_residuals();
    solver.variables[j] -= 2 * h;
    const Eigen::VectorXd down = solver.compute_residuals();
    const Eigen::VectorXd fd = (up - down) / (2 * h);
    for (int i = 0; i < n; ++i) {
      const double scale = std::max(1.0, std::abs(fd[i]));
      EXPECT_NEAR(sparse(i, j), fd[i], 1e-5 * scale) << i << "," << j;
      EXPECT_NEAR(dense[i * n + j], sparse(i, j), 1e-12 * scale);
    }
  }
}

// Once the pattern is fixed, later Jacobians reuse the matrix's structure
// and the colour groups: at the same point they must give the very matrix
// of the first evaluation, in every group, and agree with the dense one.
TEST(Newton, LaterJacobiansEqualTheFirstAtTheSamePoint) {
  HubCase hub;
  Newton solver(hub.net.get(), false);
  const int n = static_cast<int>(solver.variables.size());
  for (int k = 0; k < n; ++k) solver.variables[k] += 0.01 * (k % 7);
  const Eigen::VectorXd x = solver.variables;
  const Eigen::SparseMatrix<double> first = solver.compute_jacobian();
  ASSERT_FALSE(solver.pattern_analysed);
  ASSERT_GT(solver.jacobian.colour_count(), 2 * SparseJacobian::group_size);
  ASSERT_LT(solver.solve_load_flow(20, 1e-9).second, 1e-9);
  ASSERT_TRUE(solver.pattern_analysed);
  for (int round = 0; round < 2; ++round) {
    solver.variables = x;
    expect_same_matrix(solver.compute_jacobian(), first);
  }
  const Eigen::MatrixXd sparse = Eigen::MatrixXd(solver.compute_jacobian());
  const Eigen::VectorXd dense = solver.get_jacobian();
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      EXPECT_NEAR(dense[i * n + j], sparse(i, j), 1e-12 * std::max(1.0, std::abs(sparse(i, j)))) << i << "," << j;
}

// The first evaluation of a pattern is the library's own and leaves its
// colouring; later ones sweep the colour groups themselves. Bit for bit the
// same matrix, at the first point and at another one, in several groups.
TEST(SparseJacobian, ColourGroupsGiveTheLibrarysValues) {
  TreeFeeder feeder(40);
  Newton solver(feeder.network.get(), false);
  solver.solve_load_flow(2, 1e-9);  // away from the flat start
  const Eigen::VectorXd x = solver.variables;
  const int n = static_cast<int>(x.size());
  auto no_poll = [] {};

  SparseJacobian by_library, by_groups;
  by_groups.compute_pattern(solver.tape, n);
  EXPECT_EQ(by_groups.colour_count(), 0u);
  const Eigen::SparseMatrix<double> first = by_groups.evaluate(solver.tape, x, true, no_poll);
  EXPECT_GT(by_groups.group_count(), 1u);
  EXPECT_EQ(by_groups.group_count(),
            (by_groups.colour_count() + SparseJacobian::group_size - 1) / SparseJacobian::group_size);
  expect_same_matrix(by_groups.evaluate(solver.tape, x, false, no_poll), first);

  Eigen::VectorXd y = x;
  for (int k = 0; k < n; ++k) y[k] += 0.3 * (k % 5) - 0.4;
  by_library.compute_pattern(solver.tape, n);
  const Eigen::SparseMatrix<double> library = by_library.evaluate(solver.tape, y, true, no_poll);
  int polls = 0;
  const Eigen::SparseMatrix<double>& grouped = by_groups.evaluate(solver.tape, y, false, [&polls] { ++polls; });
  expect_same_matrix(grouped, library);
  // Before, after and between the groups, so a long evaluation can be stopped.
  EXPECT_EQ(polls, 2 + static_cast<int>(by_groups.group_count()));
}

TEST(SparseJacobian, EmptySystem) {
  ElectricalNetwork net({});
  Newton solver(&net, false);
  SparseJacobian jacobian;
  jacobian.compute_pattern(solver.tape, 0);
  int polls = 0;
  const Eigen::SparseMatrix<double>& J = jacobian.evaluate(solver.tape, Eigen::VectorXd(), true, [&polls] { ++polls; });
  EXPECT_EQ(J.rows(), 0);
  EXPECT_EQ(J.nonZeros(), 0);
  EXPECT_EQ(polls, 0);
  EXPECT_EQ(jacobian.group_count(), 0u);
}
