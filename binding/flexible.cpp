// Controls, projections, flexible parameters and the flexible loads.

#include "binding.hpp"
#include "model/flexible_load.hpp"
#include "model/flexible_parameter.hpp"

using namespace cy;

namespace {

using ControlRef = Ref<Control, TypeId::CyControl>;
using ProjectionRef = Ref<Projection, TypeId::CyProjection>;
using Parameters = Items<FlexibleParameter, TypeId::CyFlexibleParameter>;

const Family<Control> controls(FamilyId::control);
const Family<Projection> projections(FamilyId::projection);
const Family<FlexibleParameter> flexible_parameters(FamilyId::flexible_parameter);
const Family<Element> elements(FamilyId::element);

const auto cy_control = controls.type<Control>(TypeId::CyControl)
                            .constructor({"t", "u_min", "u_down", "u_up", "u_max", "alpha", "epsilon"},
                                         [](const std::string& t, double u_min, double u_down, double u_up,
                                            double u_max, double alpha, double epsilon) {
                                           return new Control(t, u_min, u_down, u_up, u_max, alpha, epsilon);
                                         });

const auto cy_projection =
    projections.type<Projection>(TypeId::CyProjection)
        .constructor({"t", "alpha", "epsilon"}, [](const std::string& t, double alpha, double epsilon) {
          return new Projection(t, alpha, epsilon);
        });

// The parameter copies the controls and the projection: their objects need
// not outlive it.
const auto cy_flexible_parameter =
    flexible_parameters.type<FlexibleParameter>(TypeId::CyFlexibleParameter)
        .constructor({"control_p", "control_q", "projection", "s_max", "q_min", "q_max"},
                     [](const ControlRef& control_p, const ControlRef& control_q, const ProjectionRef& projection,
                        double s_max, double q_min, double q_max) {
                       return new FlexibleParameter(*control_p, *control_q, *projection, s_max, q_min, q_max);
                     })
        .method("compute_power", {"x", "s_th"},
                [](FlexibleParameter& self, double x, complex_d s_th) { return self.compute_power(x, s_th); })
        .method("update_parameters", {"s_max", "q_min", "q_max"},
                [](FlexibleParameter& self, double s_max, double q_min, double q_max) {
                  self.update_parameters(s_max, q_min, q_max);
                });

// The parameters of the phases, one item each; the load keeps their
// objects alive.
template <class L>
L* make_flexible_load(Int n, const Buffer<complex_d>& powers, const Parameters& parameters) {
  const Py_ssize_t phases = L::phase_count_of(n);
  const complex_d* values = powers.items(phases);
  return new L(n, values, parameters.take(phases));
}

template <class L>
void update_powers(L& self, const Buffer<complex_d>& powers) {
  update_variable_values(self.powers, powers.items(self.phase_count()));
}

const auto cy_flexible_load =
    elements.type<FlexibleLoad>(TypeId::CyFlexibleLoad)
        .constructor({"n", "powers", "parameters"}, &make_flexible_load<FlexibleLoad>)
        .method("update_powers", {"powers"}, &update_powers<FlexibleLoad>)
        .method("update_power", {"power"},
                [](FlexibleLoad& self, complex_d power) { update_single_value(self.powers, power); })
        .method("get_powers", {"n"}, [](FlexibleLoad& self, Int n) {
          // n - 1 entries; below zero NumPy refuses the size itself.
          const Py_ssize_t size = n < 1 ? Py_ssize_t{n} - 1 : n.at_least(self.port_count()) - 1;
          return complex_array(size, self.phase_count(), [&self](complex_d* out) { self.get_powers(out); });
        });

const auto cy_delta_flexible_load =
    elements.type<DeltaFlexibleLoad>(TypeId::CyDeltaFlexibleLoad)
        .constructor({"n", "powers", "parameters"}, &make_flexible_load<DeltaFlexibleLoad>)
        .method("update_powers", {"powers"}, &update_powers<DeltaFlexibleLoad>)
        .method("get_powers", {"n"}, [](DeltaFlexibleLoad& self, Int n) {
          return complex_array(n.at_least(self.port_count()), self.phase_count(),
                               [&self](complex_d* out) { self.get_powers(out); });
        });

}  // namespace
