// Synthetic radial three-phase four-wire feeders: a source with a grounded
// neutral, a tree of lines (each bus fed from bus (i - 1) / 3) and an
// unbalanced constant-power load at every bus. For each size it prints the
// tape recording time, the time per Newton iteration split into residuals,
// Jacobian, factorisation and solve (the first Jacobian includes the
// sparsity pattern and the colouring), the iterations to 1e-8, and the
// backward-forward time.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "model/bus.hpp"
#include "model/line.hpp"
#include "model/load.hpp"
#include "model/network.hpp"
#include "model/voltage_source.hpp"
#include "solvers/newton.hpp"

namespace {
using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Feeder {
  std::vector<std::unique_ptr<Element>> owned;
  std::unique_ptr<ElectricalNetwork> network;

  explicit Feeder(int buses) {
    const double pi = 3.14159265358979323846;
    const complex_d u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2 * pi / 3), std::polar(230.0, 2 * pi / 3)};
    const complex_d start[4] = {u[0], u[1], u[2], 0.0};
    complex_d z[16];
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) z[4 * i + j] = i == j ? complex_d(0.004, 0.002) : complex_d(0.0, 0.0008);
    const double per_phase = 150e3 / 3 / buses;
    const complex_d s[3] = {{per_phase * 1.0, per_phase * 0.3},
                            {per_phase * 0.6, per_phase * 0.1},
                            {per_phase * 1.4, per_phase * 0.5}};

    std::vector<Element*> list;
    auto keep = [&](Element* e) {
      owned.emplace_back(e);
      list.push_back(e);
      return e;
    };
    auto* source = keep(new VoltageSource(4, u));
    auto* ground = keep(new PotentialRef());
    std::vector<Bus*> bus;
    for (int b = 0; b < buses; ++b) bus.push_back(static_cast<Bus*>(keep(new Bus(4, start))));
    for (int p = 0; p < 4; ++p) bus[0]->ports[p].connection->merge(&source->ports[p]);
    bus[0]->ports[3].connection->merge(&ground->ports[0]);
    for (int b = 1; b < buses; ++b) {
      auto* line = static_cast<SimplifiedLine*>(keep(new SimplifiedLine(4, z)));
      const Bus* parent = bus[(b - 1) / 3];
      for (int p = 0; p < 4; ++p) {
        parent->ports[p].connection->merge(line->side1[p]);
        bus[b]->ports[p].connection->merge(line->side2[p]);
      }
    }
    for (int b = 0; b < buses; ++b) {
      auto* load = keep(new PowerLoad(4, s));
      for (int p = 0; p < 4; ++p) bus[b]->ports[p].connection->merge(&load->ports[p]);
    }
    network = std::make_unique<ElectricalNetwork>(std::move(list));
  }
};

void run(int buses) {
  Feeder feeder(buses);
  auto t0 = Clock::now();
  Newton newton(feeder.network.get(), false);
  const double record = seconds_since(t0);

  // The solver's own loop, timed phase by phase.
  double t_res = 0, t_jac = 0, t_fact = 0, t_solve = 0;
  int steps = 0;
  Eigen::VectorXd r = newton.compute_residuals();
  while (r.cwiseAbs().maxCoeff() > 1e-8 && steps < 50) {
    t0 = Clock::now();
    const Eigen::SparseMatrix<double> J = newton.compute_jacobian();
    t_jac += seconds_since(t0);
    t0 = Clock::now();
    newton.factorize_jacobian(J);
    t_fact += seconds_since(t0);
    t0 = Clock::now();
    const Eigen::VectorXd dx = newton.sparse_lu.solve(r);
    t_solve += seconds_since(t0);
    newton.variables -= dx;
    t0 = Clock::now();
    r = newton.compute_residuals();
    t_res += seconds_since(t0);
    ++steps;
  }

  // A Jacobian once the pattern and the colouring are known.
  t0 = Clock::now();
  newton.compute_jacobian();
  const double t_jac_again = seconds_since(t0);

  // The same solve through the solver itself, from the start.
  newton.variables = newton.initial_variables;
  t0 = Clock::now();
  const auto [iterations, error] = newton.solve_load_flow(50, 1e-8);
  const double t_newton = seconds_since(t0);

  Feeder fresh(buses);
  BackwardForward bf(fresh.network.get());
  t0 = Clock::now();
  const auto [sweeps, bf_error] = bf.solve_load_flow(1000, 1e-8);
  const double t_bf = seconds_since(t0);

  const double per = steps > 0 ? 1e3 / steps : 0.0;
  std::printf("%6d buses, %7ld variables: recording %8.2f ms | per iteration: residuals %7.3f ms, Jacobian %7.3f ms (%.3f ms "
              "once the pattern is known), factorisation %7.3f ms, solve %7.3f ms | Newton %d iterations (error %.1e) in %8.2f ms | "
              "backward-forward %d sweeps (error %.1e) in %8.2f ms\n",
              buses, static_cast<long>(newton.variables.size()), record * 1e3, t_res * per, t_jac * per, t_jac_again * 1e3, t_fact * per,
              t_solve * per, iterations, error, t_newton * 1e3, sweeps, bf_error, t_bf * 1e3);
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {100, 1000, 10000};
  if (argc > 1) {
    sizes.clear();
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
  }
  for (int n : sizes) run(n);
  return 0;
}
