// The transformer types and the single voltage regulator.

#include "binding.hpp"
#include "model/regulator.hpp"
#include "model/three_phase_transformer.hpp"
#include "model/transformer.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_transformer =
    elements.type<TransformerBase>(TypeId::CyTransformer)
        .method("update_transformer_parameters", {"z2", "ym", "k"},
                [](TransformerBase& self, complex_d z2, complex_d ym, complex_d k) {
                  self.update_transformer_parameters(z2, ym, k);
                })
        .method("compute_open_circuit_parameters", {"uhv", "ulv", "sn"},
                [](TransformerBase& self, double uhv, double ulv, double sn) {
                  return self.compute_open_circuit_parameters(uhv, ulv, sn);
                })
        .method("compute_short_circuit_parameters", {"uhv", "ulv", "sn"},
                [](TransformerBase& self, double uhv, double ulv, double sn) {
                  return self.compute_short_circuit_parameters(uhv, ulv, sn);
                });

// The engine refuses side counts that do not fit the windings.
const auto cy_three_phase_transformer = elements.type<ThreePhaseTransformer>(TypeId::CyThreePhaseTransformer)
                                            .constructor({"n1", "n2", "whv", "wlv", "z2", "ym", "k", "clock"},
                                                         [](Int n1, Int n2, const std::string& whv,
                                                            const std::string& wlv, complex_d z2, complex_d ym,
                                                            double k, Int clock) {
                                                           return new ThreePhaseTransformer(n1, n2, whv, wlv, z2,
                                                                                            ym, k, clock);
                                                         });

const auto cy_single_transformer =
    elements.type<SingleTransformer>(TypeId::CySingleTransformer)
        .constructor({"z2", "ym", "k"},
                     [](complex_d z2, complex_d ym, complex_d k) { return new SingleTransformer(z2, ym, k); });

const auto cy_center_transformer =
    elements.type<CenterTransformer>(TypeId::CyCenterTransformer)
        .constructor({"z2", "ym", "k"},
                     [](complex_d z2, complex_d ym, double k) { return new CenterTransformer(z2, ym, k); });

const auto cy_single_voltage_regulator =
    elements.type<SingleVoltageRegulator>(TypeId::CySingleVoltageRegulator)
        .constructor({"z2", "ym", "u_ref", "u_range", "alpha", "phi"},
                     [](complex_d z2, complex_d ym, double u_ref, double u_range, double alpha, double phi) {
                       return new SingleVoltageRegulator(z2, ym, u_ref, u_range, alpha, phi);
                     })
        .method("update_parameters", {"z2", "ym", "u_ref"},
                [](SingleVoltageRegulator& self, complex_d z2, complex_d ym, double u_ref) {
                  self.update_parameters(z2, ym, u_ref);
                })
        .method("get_tap", [](SingleVoltageRegulator& self) { return self.get_tap(); })
        .method("compute_tap", {"u_in"},
                [](SingleVoltageRegulator& self, double u_in) { return self.compute_tap(u_in); });

}  // namespace
