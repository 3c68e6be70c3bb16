// The network and solver types: elements wrapped into a network, a solver
// built on it, the solve, and the solver's variables and diagnostics.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding.hpp"
#include "model/network.hpp"
#include "solvers/newton.hpp"

using namespace cy;

namespace {

using NetworkRef = Ref<ElectricalNetwork, TypeId::CyElectricalNetwork>;
using ElementItems = Items<Element, TypeId::CyElement>;

const Family<ElectricalNetwork> networks(FamilyId::network);
const Family<AbstractSolver> solvers(FamilyId::solver);

const auto cy_network =
    networks.type<ElectricalNetwork>(TypeId::CyElectricalNetwork)
        .constructor({"elements", "nb_elements"}, [](const ElementItems& elements, Int nb_elements) {
          // The items are checked first, so that a count beyond the buffer
          // reserves nothing; the reservation refuses a negative count.
          const std::vector<Element*> taken = elements.take(nb_elements);
          std::vector<Element*> list = ElectricalNetwork::reserve_elements(nb_elements);
          list.insert(list.end(), taken.begin(), taken.end());
          return new ElectricalNetwork(std::move(list));
        });

// On the main thread, runs the interpreter's handlers of the signals
// received so far (the solve holds the GIL): a handler's exception,
// KeyboardInterrupt for Ctrl-C, stops the solve and is what the call raises.
// Handlers run on the main thread only: a solve in any other thread lets the
// interpreter go now and then instead, so that the main thread can run them
// (its Ctrl-C reaches the program), and goes on.
bool signal_handler_raised(void*) {
  if (platform::is_main_thread()) return PyErr_CheckSignals() < 0;
  platform::offer_interpreter();
  return false;
}

// The solver, asking the check while it solves or evaluates a diagnostic.
template <class S>
S& polled(S& solver) {
  solver.stop_check = StopCheck{signal_handler_raised, nullptr};
  return solver;
}

const auto cy_abstract_solver =
    solvers.type<AbstractSolver>(TypeId::CyAbstractSolver)
        .method("solve_load_flow", {"max_iterations", "tolerance"},
                [](AbstractSolver& self, Int max_iterations, double tolerance) {
                  return polled(self).solve_load_flow(max_iterations, tolerance);
                })
        .method("reset_inputs", [](AbstractSolver& self) { self.reset_inputs(); })
        .method("get_variables",
                [](AbstractSolver& self) {
                  const Eigen::VectorXd& x = self.variables;
                  return real_array(x.size(), [&x](double* out) { std::copy(x.data(), x.data() + x.size(), out); });
                })
        .method("set_variables", {"variables"}, [](AbstractSolver& self, const Buffer<double>& variables) {
          self.set_variables(variables.items(self.variables.size()));
        });

const auto cy_abstract_newton =
    solvers.type<AbstractNewton>(TypeId::CyAbstractNewton)
        .method("save_matrix", {"prefix"},
                [](AbstractNewton& self, const std::string& prefix) {
                  // No file can be named so: refused, as the interpreter's own open() does.
                  if (prefix.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
                  polled(self).save_matrix(prefix);
                })
        .method("get_jacobian",
                [](AbstractNewton& self) {
                  const Py_ssize_t n = self.variables.size();
                  // Evaluated once the n by n result is known to fit.
                  return real_square_array(n, [&self, n](double* out) {
                    const Eigen::VectorXd jacobian = polled(self).get_jacobian();
                    std::copy(jacobian.data(), jacobian.data() + n * n, out);
                  });
                })
        .method("get_residuals",
                [](AbstractNewton& self) {
                  Eigen::VectorXd r = polled(self).get_residuals();
                  const Py_ssize_t n = r.size();
                  // The array is filled after this call returns: it takes the residuals along.
                  return real_array(n, [r = std::move(r)](double* out) {
                    std::copy(r.data(), r.data() + r.size(), out);
                  });
                })
        .method("analyse_jacobian", [](AbstractNewton& self) { return polled(self).analyse_jacobian(); });

const auto cy_newton =
    solvers.type<Newton>(TypeId::CyNewton)
        .constructor({"network", "optimize_tape"}, [](const NetworkRef& network, bool optimize_tape) {
          return new Newton(&network.get(), optimize_tape);
        });

const auto cy_newton_goldstein =
    solvers.type<NewtonGoldstein>(TypeId::CyNewtonGoldstein)
        .constructor({"network", "optimize_tape", "m1", "m2", "weighted_merit"},
                     [](const NetworkRef& network, bool optimize_tape, double m1, double m2, bool weighted_merit) {
                       return new NewtonGoldstein(&network.get(), optimize_tape, m1, m2, weighted_merit);
                     })
        .method("update_params", {"m1", "m2", "weighted_merit"},
                [](NewtonGoldstein& self, double m1, double m2, bool weighted_merit) {
                  self.update_params(m1, m2, weighted_merit);
                });

const auto cy_backward_forward =
    solvers.type<BackwardForward>(TypeId::CyBackwardForward).constructor({"network"}, [](const NetworkRef& network) {
      return new BackwardForward(&network.get());
    });

}  // namespace
