#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "element_harness.hpp"
#include "model/load.hpp"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

enum class Kind { power, current, admittance };

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::power:
      return "power";
    case Kind::current:
      return "current";
    default:
      return "admittance";
  }
}

void PrintTo(Kind k, std::ostream* os) { *os << kind_name(k); }

struct LoadUnderTest {
  std::unique_ptr<LoadBase> load;
  std::vector<Variable>* values;
};

template <class L, class Field>
LoadUnderTest build(int n, const complex_d* values, Field field) {
  auto load = std::make_unique<L>(n, values);
  std::vector<Variable>* held = &((*load).*field);
  return {std::move(load), held};
}

LoadUnderTest make_load(Kind kind, bool delta, int n, const complex_d* values) {
  switch (kind) {
    case Kind::power:
      return delta ? build<DeltaPowerLoad>(n, values, &DeltaPowerLoad::powers)
                   : build<PowerLoad>(n, values, &PowerLoad::powers);
    case Kind::current:
      return delta ? build<DeltaCurrentLoad>(n, values, &DeltaCurrentLoad::currents)
                   : build<CurrentLoad>(n, values, &CurrentLoad::currents);
    default:
      return delta ? build<DeltaAdmittanceLoad>(n, values, &DeltaAdmittanceLoad::admittances)
                   : build<AdmittanceLoad>(n, values, &AdmittanceLoad::admittances);
  }
}

// The model's phase laws, evaluated with the standard complex operations.
complex_d reference_phase_current(Kind kind, complex_d value, complex_d dv) {
  switch (kind) {
    case Kind::power:
      return std::conj(value / dv);
    case Kind::current:
      return value * (dv / std::abs(dv));
    default:
      return value * dv;
  }
}

struct Reference {
  std::vector<complex_d> phases;
  std::vector<complex_d> ports;
};

Reference reference_currents(Kind kind, bool delta, const std::vector<complex_d>& values,
                             const std::vector<complex_d>& v) {
  Reference r;
  const std::vector<complex_d> dv = reference_phase_voltages(delta, v);
  for (size_t i = 0; i < dv.size(); ++i) r.phases.push_back(reference_phase_current(kind, values[i], dv[i]));
  r.ports = reference_port_currents(delta, r.phases);
  return r;
}

std::vector<complex_d> inner_currents(const LoadBase& load, size_t extra = 0) {
  std::vector<complex_d> out(static_cast<size_t>(load.phase_count()) + extra, complex_d(-7.0, 7.0));
  load.get_inner_currents(out.data());
  return out;
}

const complex_d a120 = std::polar(1.0, 2.0 * M_PI / 3.0);

struct Topology {
  const char* name;
  bool delta;
  std::vector<complex_d> potentials;
};

const Topology topologies[] = {
    {"star4", false, {230.0, 230.0 * a120 * a120, 230.0 * a120, {2.0, -1.0}}},
    {"star2", false, {{230.0, 10.0}, {1.0, -2.0}}},
    {"delta3", true, {400.0, 400.0 * a120 * a120, 400.0 * a120}},
    {"delta2", true, {{230.0, 5.0}, {-3.0, 1.0}}},
};

// Values for every phase; each load reads as many as it has phases.
const std::vector<complex_d> phase_values = {{1000.0, 300.0}, {2000.0, -100.0}, {500.0, 800.0}, {-700.0, 250.0}};

class LoadCurrents : public testing::TestWithParam<std::tuple<Kind, int>> {};

TEST_P(LoadCurrents, BothModesFollowThePhaseLaws) {
  const Kind kind = std::get<0>(GetParam());
  const Topology& t = topologies[std::get<1>(GetParam())];
  const int n = static_cast<int>(t.potentials.size());

  // Built and recorded with other values: the tape must follow the arrays.
  std::vector<complex_d> initial(phase_values.size(), complex_d(3.0, -1.0));
  LoadUnderTest lut = make_load(kind, t.delta, n, initial.data());
  LoadBase& load = *lut.load;
  ASSERT_EQ(load.phase_count(), t.delta ? n : n - 1);
  ElementHarness h(load);
  update_variable_values(*lut.values, phase_values.data());
  h.set_potentials(t.potentials);

  const Reference ref = reference_currents(kind, t.delta, phase_values, t.potentials);
  expect_all_close(h.plain_currents(), ref.ports);
  expect_all_close(inner_currents(load), ref.phases);
  expect_all_close(h.tape_currents(), ref.ports);

  for (Port& port : load.ports) port.current = 0.0;
  load.backward_step();
  for (size_t i = 0; i < ref.ports.size(); ++i) expect_close(load.ports[i].current, ref.ports[i]);
  EXPECT_EQ(load.forward_step(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(KindsAndTopologies, LoadCurrents,
                         testing::Combine(testing::Values(Kind::power, Kind::current, Kind::admittance),
                                          testing::Range(0, 4)),
                         [](const testing::TestParamInfo<LoadCurrents::ParamType>& info) {
                           return std::string(kind_name(std::get<0>(info.param))) + "_" +
                                  topologies[std::get<1>(info.param)].name;
                         });

TEST(Loads, SinglePhaseExamples) {
  struct Case {
    Kind kind;
    complex_d value, dv, current;
  };
  const Case cases[] = {
      {Kind::power, {1.0, 0.0}, {2.0, 0.0}, {0.5, 0.0}},
      {Kind::power, {1.0, 0.0}, {0.0, 2.0}, {0.0, 0.5}},
      {Kind::current, {10.0, 0.0}, {0.0, 230.0}, {0.0, 10.0}},
      {Kind::admittance, {0.0, 2.0}, {3.0, 1.0}, {-2.0, 6.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(kind_name(c.kind));
    LoadUnderTest lut = make_load(c.kind, false, 2, &c.value);
    ElementHarness h(*lut.load);
    h.set_potentials({c.dv + complex_d(5.0, 5.0), {5.0, 5.0}});
    expect_all_close(h.plain_currents(), {c.current, -c.current});
    expect_all_close(h.tape_currents(), {c.current, -c.current});
  }
}

// A phase whose two ends share a node sees dV = +0 exactly; (-0, -0) comes
// from a negative-zero potential against a zero one.
TEST(Loads, ZeroPhaseVoltage) {
  struct Case {
    Kind kind;
    complex_d value;
    bool same_node;
    complex_d plain, tape;
  };
  const complex_d nan2(nan, nan);
  const Case cases[] = {
      // Plain power: each part of S over the signed zero, imaginary part negated.
      {Kind::power, {1.0, -2.0}, true, {inf, inf}, nan2},
      {Kind::power, {0.0, 1.0}, true, {nan, -inf}, nan2},
      {Kind::power, {-1.0, 0.0}, true, {-inf, nan}, nan2},
      {Kind::power, {1.0, 1.0}, false, {-inf, inf}, nan2},
      {Kind::current, {10.0, 0.0}, true, nan2, nan2},
      {Kind::admittance, {0.5, 0.25}, true, {0.0, 0.0}, {0.0, 0.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kind_name(c.kind)) + (c.same_node ? " same node" : " signed zero"));
    LoadUnderTest lut = make_load(c.kind, false, 2, &c.value);
    LoadBase& load = *lut.load;
    if (c.same_node) {
      const int both[] = {0, 1};
      load.connect_ports(both, 2);
    }
    ElementHarness h(load);
    if (c.same_node) {
      h.set_potential(0, {3.0, 4.0});
    } else {
      h.set_potentials({{-0.0, -0.0}, {0.0, 0.0}});
    }
    const std::vector<complex_d> plain = h.plain_currents();
    expect_close(plain[0], c.plain);
    expect_close(plain[1], complex_d(0.0 - c.plain.real(), 0.0 - c.plain.imag()));
    const std::vector<complex_d> tape = h.tape_currents();
    expect_close(tape[0], c.tape);
    expect_close(tape[1], complex_d(0.0 - c.tape.real(), 0.0 - c.tape.imag()));
  }
}

TEST(Loads, ReferenceNodeReadsZero) {
  const complex_d values[] = {{100.0, 20.0}, {50.0, -10.0}};
  PowerLoad load(3, values);
  load.ports[2].connection->potential.set_value({40.0, 40.0});  // never read
  load.ports[2].connection->is_reference = true;
  ElementHarness h(load);
  const std::vector<complex_d> v = {{230.0, 0.0}, {0.0, -230.0}};
  h.set_potentials(v);
  const Reference ref = reference_currents(Kind::power, false, {values[0], values[1]}, {v[0], v[1], 0.0});
  expect_all_close(h.plain_currents(), ref.ports);
  expect_all_close(h.tape_currents(), ref.ports);
}

TEST(Loads, OnePortLoads) {
  const complex_d value(2.0, 1.0);
  for (Kind kind : {Kind::power, Kind::current, Kind::admittance}) {
    SCOPED_TRACE(kind_name(kind));
    // Star: no phase, no current, no inner current written.
    LoadUnderTest star = make_load(kind, false, 1, nullptr);
    EXPECT_EQ(star.load->phase_count(), 0);
    ElementHarness hs(*star.load);
    hs.set_potential(0, {230.0, 0.0});
    expect_all_close(hs.plain_currents(), {0.0});
    expect_all_close(hs.tape_currents(), {0.0});
    expect_all_close(inner_currents(*star.load, 1), {{-7.0, 7.0}});

    // Delta: one phase from port 0 to itself, B0 - B0.
    LoadUnderTest delta = make_load(kind, true, 1, &value);
    ElementHarness hd(*delta.load);
    hd.set_potential(0, {230.0, 0.0});
    const complex_d expected = kind == Kind::admittance ? complex_d(0.0, 0.0) : complex_d(nan, nan);
    expect_all_close(hd.plain_currents(), {expected});
    expect_all_close(hd.tape_currents(), {expected});
  }
}

TEST(Loads, ConductorCounts) {
  for (Kind kind : {Kind::power, Kind::current, Kind::admittance}) {
    SCOPED_TRACE(kind_name(kind));
    for (int n : {0, -1, std::numeric_limits<int>::min()}) {
      try {
        make_load(kind, false, n, nullptr);
        ADD_FAILURE() << "star load with " << n << " ports built";
      } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "vector too long");
      }
    }
    EXPECT_THROW(make_load(kind, true, -1, nullptr), std::length_error);
    LoadUnderTest empty = make_load(kind, true, 0, nullptr);
    EXPECT_EQ(empty.load->port_count(), 0);
    EXPECT_EQ(empty.load->phase_count(), 0);
    empty.load->update_port_currents(false);
  }
}

TEST(Loads, ParameterLayout) {
  const complex_d values[] = {{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}};
  DeltaCurrentLoad load(3, values);
  std::vector<double> p0 = {-1.0};
  load.append_parameter_values(p0);
  EXPECT_EQ(p0, (std::vector<double>{-1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));

  TapeArray P(p0.begin(), p0.end());
  Eigen::VectorXd p = Eigen::Map<Eigen::VectorXd>(p0.data(), 7);
  int index = 1;
  load.bind_parameters(P, p, index);
  EXPECT_EQ(index, 7);
  EXPECT_EQ(load.currents[1].value_ptr, p.data() + 3);
  // Updates write through to the bound slots.
  const complex_d changed[] = {{7.0, 8.0}, {9.0, 10.0}, {11.0, 12.0}};
  update_variable_values(load.currents, changed);
  EXPECT_EQ(p(5), 11.0);
  EXPECT_EQ(load.currents[2].get_value(), complex_d(11.0, 12.0));
}

// Star loads report the currents of the last computation; delta loads
// recompute from the present potentials.
TEST(Loads, InnerCurrentsAfterPotentialsMove) {
  const std::vector<complex_d> values = {{1000.0, 200.0}, {800.0, -300.0}};
  const std::vector<complex_d> before = {{230.0, 0.0}, {-115.0, -199.0}, {1.0, 0.0}};
  const std::vector<complex_d> after = {{220.0, 10.0}, {-110.0, -190.0}, {-2.0, 3.0}};

  PowerLoad star(3, values.data());
  const complex_d delta_values[] = {values[0], values[1], {300.0, 100.0}};
  DeltaPowerLoad delta(3, delta_values);
  for (Element* e : {static_cast<Element*>(&star), static_cast<Element*>(&delta)}) {
    for (int i = 0; i < 3; ++i) e->ports[i].connection->potential.set_value(before[i]);
    e->update_port_currents(false);
    for (int i = 0; i < 3; ++i) e->ports[i].connection->potential.set_value(after[i]);
  }
  expect_all_close(inner_currents(star), reference_currents(Kind::power, false, values, before).phases);
  const std::vector<complex_d> dv(delta_values, delta_values + 3);
  expect_all_close(inner_currents(delta), reference_currents(Kind::power, true, dv, after).phases);
}

}  // namespace
