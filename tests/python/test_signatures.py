"""Signature texts and parameters of the methods of the network, solver,
bus, reference, switch, line and source types."""

import inspect

import pytest

import load_flow_engine.cy_engine as ce

SIGNATURES = [
    (ce.CyAbstractSolver.solve_load_flow,
     "CyAbstractSolver.solve_load_flow(self, int max_iterations, double tolerance)",
     ["self", "max_iterations", "tolerance"]),
    (ce.CyAbstractSolver.reset_inputs, "CyAbstractSolver.reset_inputs(self)", ["self"]),
    (ce.CyAbstractSolver.get_variables, "CyAbstractSolver.get_variables(self)", ["self"]),
    (ce.CyAbstractSolver.set_variables, "CyAbstractSolver.set_variables(self, double[::1] variables)",
     ["self", "variables"]),
    (ce.CyAbstractNewton.save_matrix, "CyAbstractNewton.save_matrix(self, string prefix)", ["self", "prefix"]),
    (ce.CyAbstractNewton.get_jacobian, "CyAbstractNewton.get_jacobian(self)", ["self"]),
    (ce.CyAbstractNewton.get_residuals, "CyAbstractNewton.get_residuals(self)", ["self"]),
    (ce.CyAbstractNewton.analyse_jacobian, "CyAbstractNewton.analyse_jacobian(self)", ["self"]),
    (ce.CyNewtonGoldstein.update_params,
     "CyNewtonGoldstein.update_params(self, double m1, double m2, bool weighted_merit)",
     ["self", "m1", "m2", "weighted_merit"]),
    (ce.CyBus.initialize_potentials, "CyBus.initialize_potentials(self, double complex[::1] potentials)",
     ["self", "potentials"]),
    (ce.CyPotentialRef.get_current, "CyPotentialRef.get_current(self)", ["self"]),
    (ce.CyDeltaPotentialRef.get_current, "CyDeltaPotentialRef.get_current(self)", ["self"]),
    (ce.CySimplifiedLine.update_line_parameters,
     "CySimplifiedLine.update_line_parameters(self, double complex[::1] z_line)", ["self", "z_line"]),
    (ce.CySimplifiedLine.update_single_line_parameters,
     "CySimplifiedLine.update_single_line_parameters(self, double complex z_line)", ["self", "z_line"]),
    (ce.CyShuntLine.update_line_parameters,
     "CyShuntLine.update_line_parameters(self, double complex[::1] y_shunt, double complex[::1] z_line)",
     ["self", "y_shunt", "z_line"]),
    (ce.CyShuntLine.update_single_line_parameters,
     "CyShuntLine.update_single_line_parameters(self, double complex y_shunt, double complex z_line)",
     ["self", "y_shunt", "z_line"]),
    (ce.CyVoltageSource.update_voltages, "CyVoltageSource.update_voltages(self, double complex[::1] voltages)",
     ["self", "voltages"]),
    (ce.CyVoltageSource.update_voltage, "CyVoltageSource.update_voltage(self, double complex voltage)",
     ["self", "voltage"]),
    (ce.CyDeltaVoltageSource.update_voltages,
     "CyDeltaVoltageSource.update_voltages(self, double complex[::1] voltages)", ["self", "voltages"]),]


@pytest.mark.parametrize("function,doc,params", SIGNATURES, ids=[s[1].split("(")[0] for s in SIGNATURES])
def test_signature_texts(function, doc, params):
    assert function.__doc__ == doc
    assert function.__name__ == doc.split("(")[0].split(".")[1]
    assert function.__qualname__ == doc.split("(")[0]
    assert function.__module__ == "load_flow_engine.cy_engine"
    assert list(inspect.signature(function).parameters) == params
