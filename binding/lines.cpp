// The switch and line types.

#include "binding.hpp"
#include "model/line.hpp"
#include "model/switch.hpp"

using namespace cy;

namespace {

const Family<Element> elements(FamilyId::element);

const auto cy_switch = elements.type<Switch>(TypeId::CySwitch).constructor({"n"}, [](Int n) { return new Switch(n); });

const auto cy_open_switch =
    elements.type<OpenSwitch>(TypeId::CyOpenSwitch).constructor({"n"}, [](Int n) { return new OpenSwitch(n); });

const auto cy_simplified_line =
    elements.type<SimplifiedLine>(TypeId::CySimplifiedLine)
        .constructor({"n", "z_line"},
                     [](Int n, const Buffer<complex_d>& z_line) {
                       return new SimplifiedLine(n, z_line.items(SimplifiedLine::matrix_entries(n)));
                     })
        .method("update_line_parameters", {"z_line"},
                [](SimplifiedLine& self, const Buffer<complex_d>& z_line) {
                  self.update_line_parameters(z_line.items(SimplifiedLine::matrix_entries(self.conductor_count())));
                })
        .method("update_single_line_parameters", {"z_line"},
                [](SimplifiedLine& self, complex_d z_line) { self.update_single_line_parameters(z_line); });

const auto cy_shunt_line =
    elements.type<ShuntLine>(TypeId::CyShuntLine)
        .constructor({"n", "y_shunt", "z_line"},
                     [](Int n, const Buffer<complex_d>& y_shunt, const Buffer<complex_d>& z_line) {
                       const complex_d* y = y_shunt.items(ShuntLine::matrix_entries(n));
                       const complex_d* z = z_line.items(ShuntLine::matrix_entries(n));
                       return new ShuntLine(n, y, z);
                     })
        .method("update_line_parameters", {"y_shunt", "z_line"},
                [](ShuntLine& self, const Buffer<complex_d>& y_shunt, const Buffer<complex_d>& z_line) {
                  const Py_ssize_t count = ShuntLine::matrix_entries(self.conductor_count());
                  const complex_d* y = y_shunt.items(count);
                  const complex_d* z = z_line.items(count);
                  self.update_line_parameters(y, z);
                })
        .method("update_single_line_parameters", {"y_shunt", "z_line"},
                [](ShuntLine& self, complex_d y_shunt, complex_d z_line) {
                  self.update_single_line_parameters(y_shunt, z_line);
                });

}  // namespace
