#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "model/variables.hpp"
#include "util/complex_ad.hpp"

namespace {
TapeArray constants(int n) {
  TapeArray t;
  for (int i = 0; i < n; ++i) t.push_back(ad_double(100.0 + i));
  return t;
}
}  // namespace

TEST(ValueHolders, ConsecutiveBindingPositions) {
  Variable v({1, 2});
  ScalarVariable s(3);
  Eigen::VectorXcd vec(3);
  vec << complex_d(1, 0), complex_d(2, 0), complex_d(3, 0);
  VectorVariable vv(vec);
  Eigen::MatrixXcd m(2, 3);
  m.setZero();
  MatrixVariable mv(m);

  TapeArray tape = constants(21);
  Eigen::VectorXd array = Eigen::VectorXd::Zero(21);
  int c = 0;
  v.bind(tape, array, c);
  EXPECT_EQ(c, 2);
  s.bind(tape, array, c);
  EXPECT_EQ(c, 3);
  vv.bind(tape, array, c);
  EXPECT_EQ(c, 9);
  mv.bind(tape, array, c);
  EXPECT_EQ(c, 21);
  EXPECT_EQ(v.value_ptr, array.data() + 0);
  EXPECT_EQ(s.value_ptr, array.data() + 2);
  EXPECT_EQ(vv.value_ptr, array.data() + 3);
  EXPECT_EQ(mv.value_ptr, array.data() + 9);
  // Tape entries follow the flattening order.
  EXPECT_EQ(CppAD::Value(vv.ad(1).imag()), 100.0 + 3 + 3);
  EXPECT_EQ(CppAD::Value(mv.ad(1, 2).real()), 100.0 + 9 + 2 * (1 * 3 + 2));
}

TEST(ValueHolders, ReadAndWriteThrough) {
  Variable v({1, 2});
  std::vector<double> before;
  v.append_value(before);
  EXPECT_EQ(before, (std::vector<double>{1, 2}));
  v.set_value({3, 4});  // unbound: stored value only
  EXPECT_EQ(v.get_value(), complex_d(3, 4));

  TapeArray tape = constants(2);
  Eigen::VectorXd array(2);
  array << 7, 8;
  int c = 0;
  v.bind(tape, array, c);
  EXPECT_EQ(v.get_value(), complex_d(7, 8));  // the slot, not the stored value
  std::vector<double> appended;
  v.append_value(appended);
  EXPECT_EQ(appended, (std::vector<double>{3, 4}));  // appends stored values even while bound
  v.set_value({5, 6});
  EXPECT_EQ(array(0), 5);
  EXPECT_EQ(array(1), 6);
  EXPECT_EQ(CppAD::Value(v.ad.real()), 100.0);  // tape value untouched

  ScalarVariable s(1.5);
  c = 0;
  s.bind(tape, array, c);
  s.set_value(-2);
  EXPECT_EQ(array(0), -2);
  EXPECT_EQ(s.value, -2);
}

TEST(ValueHolders, MatrixFlatteningIsRowMajor) {
  Eigen::MatrixXcd m(2, 2);
  m << complex_d(1, 2), complex_d(3, 4), complex_d(5, 6), complex_d(7, 8);
  EXPECT_EQ(flatten_matrix(m), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
  MatrixVariable mv(Eigen::MatrixXcd::Zero(2, 2));
  TapeArray tape = constants(8);
  Eigen::VectorXd array(8);
  array << 1, 2, 3, 4, 5, 6, 7, 8;
  int c = 0;
  mv.bind(tape, array, c);
  EXPECT_EQ(mv.get_value(), m);
  Eigen::MatrixXcd m2 = m * complex_d(2, 0);
  mv.set_value(m2);
  EXPECT_EQ(array(2), 6);  // Re m2(0, 1)
  EXPECT_EQ(array(5), 12);  // Im m2(1, 0)
  std::vector<double> appended;
  mv.append_values(appended);
  EXPECT_EQ(appended, flatten_matrix(m2));

  Eigen::VectorXcd v(2);
  v << complex_d(1, -1), complex_d(2, -2);
  EXPECT_EQ(flatten_vector(v), (std::vector<double>{1, -1, 2, -2}));
  VectorVariable vv(v);
  c = 0;
  vv.bind(tape, array, c);
  vv.set_value(v * complex_d(0, 1));
  EXPECT_EQ(array(0), 1);
  EXPECT_EQ(array(1), 1);
  EXPECT_EQ(vv.get_value()(1), complex_d(2, 2));
}

TEST(ValueHolders, VectorHelpers) {
  std::vector<Variable> vars;
  vars.emplace_back(complex_d(1, 0));
  vars.emplace_back(complex_d(2, 0));
  std::vector<double> out;
  append_values(vars, out);
  EXPECT_EQ(out, (std::vector<double>{1, 0, 2, 0}));
  TapeArray tape = constants(4);
  Eigen::VectorXd array = Eigen::VectorXd::Zero(4);
  int c = 0;
  bind_values(vars, tape, array, c);
  EXPECT_EQ(c, 4);
  const complex_d values[] = {{3, 3}, {4, 4}};
  update_variable_values(vars, values);
  EXPECT_EQ(array(3), 4);
  std::vector<Variable> empty;
  update_variable_values(empty, nullptr);  // nothing read

  update_single_value(empty, complex_d(5, 5));  // nothing to set
  EXPECT_THROW(update_single_value(vars, complex_d(5, 5)), std::invalid_argument);
  EXPECT_EQ(vars[1].get_value(), complex_d(4, 4));
  vars.pop_back();
  update_single_value(vars, complex_d(5, 5));
  EXPECT_EQ(array(0), 5);
  EXPECT_EQ(vars[0].value, complex_d(5, 5));
}

TEST(TapeArithmetic, ValuesAndZeroDivisor) {
  ad_complex a(ad_double(3.0), ad_double(4.0)), b(ad_double(1.0), ad_double(-2.0));
  EXPECT_DOUBLE_EQ(CppAD::Value(ad_abs(a)), 5.0);
  const complex_d expect = complex_d(3, 4) / complex_d(1, -2);
  const ad_complex q = ad_divide(a, b);
  EXPECT_NEAR(CppAD::Value(q.real()), expect.real(), 1e-15);
  EXPECT_NEAR(CppAD::Value(q.imag()), expect.imag(), 1e-15);
  const ad_complex r = ad_divide_real(1.0, b);
  EXPECT_NEAR(CppAD::Value(r.real()), 0.2, 1e-15);
  EXPECT_NEAR(CppAD::Value(r.imag()), 0.4, 1e-15);
  const ad_complex zero(ad_double(0.0), ad_double(0.0));
  EXPECT_EQ(CppAD::Value(ad_abs(zero)), 0.0);
  for (const ad_complex& z : {ad_divide(a, zero), ad_divide_real(1.0, zero)}) {
    EXPECT_TRUE(std::isnan(CppAD::Value(z.real())));
    EXPECT_TRUE(std::isnan(CppAD::Value(z.imag())));
  }
}

TEST(TapeArithmetic, AbsAtZeroRecordsSquareRoot) {
  TapeArray x{ad_double(0.0), ad_double(0.0)};
  CppAD::Independent(x);
  TapeArray y{ad_abs(ad_complex(x[0], x[1]))};
  CppAD::ADFun<double> f(x, y);
  const std::vector<double> at0 = f.Forward(0, std::vector<double>{0.0, 0.0});
  EXPECT_EQ(at0[0], 0.0);
  const std::vector<double> jac = f.Jacobian(std::vector<double>{0.0, 0.0});
  EXPECT_FALSE(std::isfinite(jac[0]));  // derivative of sqrt at 0
  EXPECT_NEAR(f.Forward(0, std::vector<double>{3.0, 4.0})[0], 5.0, 1e-15);
}

TEST(PlainDivision, FixedResults) {
  const double nan = std::nan(""), inf = INFINITY;
  struct Case {
    complex_d a, b, expect;
  } cases[] = {
      {{1, 0}, {2, 0}, {0.5, 0}},
      {{1, 0}, {0, 2}, {0, -0.5}},
      {{3, 4}, {1, -2}, {-1, 2}},
      {{2, 2}, {1e300, 1e300}, {2e-300, 0}},  // scaled, no overflow
      {{1, 1}, {inf, 1}, {0, 0}},
  };
  for (const Case& c : cases) {
    const complex_d q = complex_divide(c.a, c.b);
    EXPECT_NEAR(q.real(), c.expect.real(), 1e-15 * (1 + std::abs(c.expect.real())));
    EXPECT_NEAR(q.imag(), c.expect.imag(), 1e-15 * (1 + std::abs(c.expect.imag())));
  }
  // NaN divisor parts: NaN in both parts.
  for (complex_d b : {complex_d(nan, 1), complex_d(1, nan)}) {
    const complex_d q = complex_divide({1, 1}, b);
    EXPECT_TRUE(std::isnan(q.real()) && std::isnan(q.imag()));
  }
  // Zero divisor: each part over the signed zero.
  complex_d q = complex_divide({1, -2}, {0.0, 0.0});
  EXPECT_EQ(q.real(), inf);
  EXPECT_EQ(q.imag(), -inf);
  q = complex_divide({1, 0}, {-0.0, 0.0});
  EXPECT_EQ(q.real(), -inf);
  EXPECT_TRUE(std::isnan(q.imag()));
  // Both parts infinite: d is NaN.
  q = complex_divide({1, 1}, {inf, inf});
  EXPECT_TRUE(std::isnan(q.real()) && std::isnan(q.imag()));
}

TEST(PlainArithmetic, ChangeMeasureAndProduct) {
  const double nan = std::nan("");
  EXPECT_EQ(change_measure({3, -4}), 4);
  EXPECT_EQ(change_measure({-5, 4}), 5);
  EXPECT_TRUE(std::isnan(change_measure({nan, 1})));
  EXPECT_TRUE(std::isnan(change_measure({2, nan})));
  // Infinite operand: the plain formula, no recovery of the infinity.
  const complex_d p = complex_multiply({INFINITY, 0}, {0, 1});
  EXPECT_TRUE(std::isnan(p.real()));
  EXPECT_EQ(p.imag(), INFINITY);
}

// One declaration walked twice: appending lays out exactly the entries that
// binding then reads back, for every kind of holder, and a computed starting
// value is appended without being consulted by the binding.
TEST(ValueHolders, AppendAndBindWalkOneDeclaration) {
  Variable v({1, -2});
  ScalarVariable s(3), started(7);
  Eigen::VectorXcd vec(2);
  vec << complex_d(4, 5), complex_d(-6, 7);
  VectorVariable vv(vec);
  Eigen::MatrixXcd m(2, 3);
  m << complex_d(1, 2), complex_d(3, 4), complex_d(5, 6), complex_d(7, 8), complex_d(9, 10), complex_d(11, 12);
  MatrixVariable mv(m);
  std::vector<Variable> phases;
  phases.emplace_back(complex_d(13, 14));
  phases.emplace_back(complex_d(15, 16));
  int starts = 0;
  auto declare = [&](HolderVisitor& visitor) {
    visitor.visit(v);
    visitor.visit(s);
    visitor.visit(vv);
    visitor.visit(started, [&] {
      ++starts;
      return 0.5;
    });
    visitor.visit(mv);
    visitor.visit(phases);
  };

  std::vector<double> x0;
  AppendValues append(x0);
  declare(append);
  const std::vector<double> expected = {1, -2, 3, 4, 5, -6, 7, 0.5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                                        13, 14, 15, 16};
  EXPECT_EQ(x0, expected);
  EXPECT_EQ(starts, 1);

  const int n = static_cast<int>(x0.size());
  TapeArray tape = constants(n);
  Eigen::VectorXd array = Eigen::Map<const Eigen::VectorXd>(x0.data(), n);
  int c = 0;
  BindValues bind(tape, array, c);
  declare(bind);
  EXPECT_EQ(c, n);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(v.get_value(), complex_d(1, -2));
  EXPECT_EQ(s.get_value(), 3);
  EXPECT_EQ(vv.get_value(), vec);
  EXPECT_EQ(started.get_value(), 0.5);
  EXPECT_EQ(started.value, 7);
  EXPECT_EQ(mv.get_value(), m);
  EXPECT_EQ(phases[1].get_value(), complex_d(15, 16));
  EXPECT_EQ(CppAD::Value(phases[1].ad.imag()), 100.0 + n - 1);
}
