// Synthetic radial feeders: an ideal three-phase source whose neutral is the
// potential reference, a tree of three-wire lines with full 3 x 3 impedance
// matrices (each bus fed from bus (i - 1) / 3) and one unbalanced star load
// of constant power at every bus, its neutral on the reference.
//
// Each size runs in a child process of its own, Newton and backward-forward
// apart, so that every memory figure is that case's own. For Newton it
// prints the time of each phase of a solve (recording, the first Jacobian
// with its pattern and colouring, a later Jacobian, factorisation, solve,
// residuals), a bare sparse LU factorise + solve of the same Jacobian and
// the ratio of an iteration to it, the time of a re-solve from the initial
// point, and the peak and resident memory per bus; then, in a child of its
// own, the first solve and re-solves as a caller makes them, in CPU time
// with the resident memory after each; for backward-forward the time per
// sweep and of a solve.
//
//   benchmarks/run.sh [buses ...]     (default: 1000 10000)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <tuple>
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

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A field of /proc/self/status in KiB.
double status_kib(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return 0.0;
  char line[256];
  double value = 0.0;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      value = std::atof(line + n + 1);
      break;
    }
  std::fclose(f);
  return value;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct Feeder {
  std::vector<std::unique_ptr<Element>> owned;
  std::unique_ptr<ElectricalNetwork> network;

  explicit Feeder(int buses) {
    const double pi = 3.14159265358979323846;
    const complex_d u[3] = {std::polar(230.0, 0.0), std::polar(230.0, -2 * pi / 3), std::polar(230.0, 2 * pi / 3)};
    complex_d z[9];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) z[3 * i + j] = i == j ? complex_d(0.004, 0.002) : complex_d(0.001, 0.0008);
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
    auto* reference = keep(new PotentialRef());
    source->ports[3].connection->merge(&reference->ports[0]);
    std::vector<Bus*> bus;
    for (int b = 0; b < buses; ++b) bus.push_back(static_cast<Bus*>(keep(new Bus(3, u))));
    for (int p = 0; p < 3; ++p) bus[0]->ports[p].connection->merge(&source->ports[p]);
    for (int b = 1; b < buses; ++b) {
      auto* line = static_cast<SimplifiedLine*>(keep(new SimplifiedLine(3, z)));
      const Bus* parent = bus[(b - 1) / 3];
      for (int p = 0; p < 3; ++p) {
        parent->ports[p].connection->merge(line->side1[p]);
        bus[b]->ports[p].connection->merge(line->side2[p]);
      }
    }
    for (int b = 0; b < buses; ++b) {
      auto* load = keep(new PowerLoad(4, s));
      for (int p = 0; p < 3; ++p) bus[b]->ports[p].connection->merge(&load->ports[p]);
      reference->ports[0].connection->merge(&load->ports[3]);
    }
    network = std::make_unique<ElectricalNetwork>(std::move(list));
  }
};

constexpr int max_iterations = 50;
constexpr double tolerance = 1e-8;
constexpr int repeats = 5;

void run_newton(int buses) {
  const double rss0 = status_kib("VmRSS");
  Feeder feeder(buses);
  const double rss_network = status_kib("VmRSS");

  auto t0 = Clock::now();
  Newton newton(feeder.network.get(), false);
  const double t_record = seconds_since(t0);

  // The solver's own loop, phase by phase; the first Jacobian and the first
  // factorisation are timed apart from the later ones.
  double t_res = 0, t_jac_first = 0, t_jac = 0, t_fact_first = 0, t_fact = 0, t_solve = 0;
  int steps = 0;
  Eigen::VectorXd r = newton.compute_residuals();
  Eigen::VectorXd dx;
  while (r.cwiseAbs().maxCoeff() > tolerance && steps < max_iterations) {
    t0 = Clock::now();
    const Eigen::SparseMatrix<double>& J = newton.evaluate_jacobian();
    (steps == 0 ? t_jac_first : t_jac) += seconds_since(t0);
    t0 = Clock::now();
    if (!newton.factorize_jacobian(J)) {
      std::printf("%6d buses: the factorisation failed\n", buses);
      return;
    }
    (steps == 0 ? t_fact_first : t_fact) += seconds_since(t0);
    t0 = Clock::now();
    dx = newton.sparse_lu.solve(r);
    t_solve += seconds_since(t0);
    newton.variables -= dx;
    t0 = Clock::now();
    r = newton.compute_residuals();
    t_res += seconds_since(t0);
    ++steps;
  }
  // One more Jacobian once the pattern and the colouring are known.
  t0 = Clock::now();
  const Eigen::SparseMatrix<double>& J = newton.evaluate_jacobian();
  t_jac += seconds_since(t0);
  const int later = steps;  // Jacobians timed after the first

  // Of a later Jacobian, the tape's own forward sweeps: the zero-order one
  // at the point and one of up to 30 directions per group of colours, with
  // the seeds built beforehand. The rest is seeding, gathering and copying.
  const size_t colours = newton.jacobian.colour_count();
  const size_t n = static_cast<size_t>(newton.variables.size());
  const CppAD::vector<size_t>& colour = newton.jacobian.work.color;
  std::vector<Eigen::VectorXd> seeds;
  for (size_t first = 0; first < colours; first += SparseJacobian::group_size) {
    const size_t g = std::min(SparseJacobian::group_size, colours - first);
    Eigen::VectorXd dx = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n * g));
    for (size_t j = 0; j < n; ++j) {
      const size_t c = colour[j];
      if (c >= first && c < first + g) dx[static_cast<Eigen::Index>(j * g + (c - first))] = 1.0;
    }
    seeds.push_back(std::move(dx));
  }
  t0 = Clock::now();
  newton.tape.Forward(0, newton.variables);
  for (const Eigen::VectorXd& dx : seeds) {
    const size_t g = static_cast<size_t>(dx.size()) / n;
    if (g == 1)
      newton.tape.Forward(1, dx);
    else
      newton.tape.Forward(1, g, dx);
  }
  const double t_sweeps = seconds_since(t0);

  // The same Jacobian through a bare LU of its own (pattern analysed apart).
  Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> bare;
  bare.analyzePattern(J);
  std::vector<double> t_bare;
  for (int k = 0; k < repeats; ++k) {
    t0 = Clock::now();
    bare.factorize(J);
    const Eigen::VectorXd x = bare.solve(r);
    t_bare.push_back(seconds_since(t0));
  }

  // Solves through the solver itself, from the initial point.
  std::vector<double> t_wall, t_cpu;
  int iterations = 0;
  double error = 0;
  for (int k = 0; k < repeats; ++k) {
    newton.variables = newton.initial_variables;
    t0 = Clock::now();
    const double c0 = cpu_seconds();
    std::tie(iterations, error) = newton.solve_load_flow(max_iterations, tolerance);
    t_cpu.push_back(cpu_seconds() - c0);
    t_wall.push_back(seconds_since(t0));
  }
  const double rss_end = status_kib("VmRSS");
  const double peak = status_kib("VmHWM");

  const double per = steps > 0 ? 1e3 / steps : 0.0;
  const double jac_later = later > 0 ? t_jac / later * 1e3 : 0.0;
  const double fact_later = steps > 1 ? t_fact / (steps - 1) * 1e3 : 0.0;
  const double iteration = jac_later + fact_later + t_solve * per + t_res * per;
  const double bare_ms = median(t_bare) * 1e3;
  std::printf("%6d buses, Newton, %ld variables, %d iterations (error %.1e)\n", buses,
              static_cast<long>(newton.variables.size()), iterations, error);
  std::printf("  recording %9.2f ms | first Jacobian (pattern, colouring) %9.2f ms | first factorisation"
              " (pattern analysis) %9.2f ms\n",
              t_record * 1e3, t_jac_first * 1e3, t_fact_first * 1e3);
  std::printf("  per iteration: Jacobian %8.3f ms, factorisation %8.3f ms, solve %8.3f ms, residuals %8.3f ms"
              " = %8.3f ms\n",
              jac_later, fact_later, t_solve * per, t_res * per, iteration);
  std::printf("  of a later Jacobian: the tape's forward sweeps (%zu colours, %zu groups) %8.3f ms\n", colours,
              seeds.size(), t_sweeps * 1e3);
  std::printf("  bare sparse LU factorise + solve %8.3f ms; iteration / bare LU %5.2f\n", bare_ms,
              bare_ms > 0 ? iteration / bare_ms : 0.0);
  std::printf("  re-solve (median of %d) %9.2f ms wall, %9.2f ms CPU\n", repeats, median(t_wall) * 1e3,
              median(t_cpu) * 1e3);
  std::printf("  memory per bus: peak %7.1f KiB, resident %7.1f KiB (network %6.1f KiB, solver %7.1f KiB)\n",
              peak / buses, (rss_end - rss0) / buses, (rss_network - rss0) / buses, (rss_end - rss_network) / buses);
}

// The solver as a caller meets it: recording, the first solve (pattern,
// colouring, pattern analysis and the iterations) and re-solves from the
// initial point, in CPU time, with the resident memory after each.
void run_first_solve(int buses) {
  const double rss0 = status_kib("VmRSS");
  Feeder feeder(buses);
  double c0 = cpu_seconds();
  Newton newton(feeder.network.get(), false);
  const double t_record = cpu_seconds() - c0;
  c0 = cpu_seconds();
  auto [iterations, error] = newton.solve_load_flow(max_iterations, tolerance);
  const double t_first = cpu_seconds() - c0;
  const double rss_first = status_kib("VmRSS");
  std::vector<double> t_cpu;
  for (int k = 0; k < repeats; ++k) {
    newton.variables = newton.initial_variables;
    c0 = cpu_seconds();
    std::tie(iterations, error) = newton.solve_load_flow(max_iterations, tolerance);
    t_cpu.push_back(cpu_seconds() - c0);
  }
  std::printf("%6d buses, Newton as called: recording %9.2f ms CPU, first solve %9.2f ms CPU (resident %7.1f MiB),"
              " re-solve %9.2f ms CPU (median of %d; resident %7.1f MiB), peak %7.1f MiB; %d iterations\n",
              buses, t_record * 1e3, t_first * 1e3, (rss_first - rss0) / 1024, median(t_cpu) * 1e3, repeats,
              (status_kib("VmRSS") - rss0) / 1024, status_kib("VmHWM") / 1024, iterations);
}

void run_backward_forward(int buses) {
  const double rss0 = status_kib("VmRSS");
  Feeder feeder(buses);
  BackwardForward bf(feeder.network.get());
  std::vector<double> t_wall;
  int sweeps = 0;
  double error = 0;
  for (int k = 0; k < repeats; ++k) {
    bf.variables = bf.initial_variables;
    const auto t0 = Clock::now();
    std::tie(sweeps, error) = bf.solve_load_flow(1000, tolerance);
    t_wall.push_back(seconds_since(t0));
  }
  const double t = median(t_wall);
  std::printf("%6d buses, backward-forward, %d sweeps (error %.1e): solve %8.2f ms (median of %d), %7.3f ms per sweep;"
              " peak %6.1f KiB, resident %6.1f KiB per bus\n",
              buses, sweeps, error, t * 1e3, repeats, t * 1e3 / sweeps, status_kib("VmHWM") / buses,
              (status_kib("VmRSS") - rss0) / buses);
}

// Each case in a child process, so that its peak memory is its own.
void in_child(void (*run)(int), int buses) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    run(buses);
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::printf("%6d buses: the case failed\n", buses);
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1000, 10000};
  if (argc > 1) {
    sizes.clear();
    for (int k = 1; k < argc; ++k) sizes.push_back(std::atoi(argv[k]));
  }
  for (int n : sizes) {
    if (n < 1) {
      std::fprintf(stderr, "sizes must be positive\n");
      return 2;
    }
    in_child(run_newton, n);
    in_child(run_first_solve, n);
    in_child(run_backward_forward, n);
  }
  return 0;
}
