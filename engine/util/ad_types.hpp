#pragma once
// Scalar and container types shared by the engine: the taping scalar, its
// complex form, and the dense containers that hold tape values.

#include <complex>
#include <vector>

#include <Eigen/Dense>
#include <cppad/cppad.hpp>

using ad_double = CppAD::AD<double>;
using ad_complex = std::complex<ad_double>;
using complex_d = std::complex<double>;

// The solver's contiguous arrays of tape scalars (independent variables,
// dynamic parameters, residuals).
using TapeArray = std::vector<ad_double>;

namespace Eigen {
// Lets Eigen store tape scalars; arithmetic on them is written out by hand.
template <>
struct NumTraits<CppAD::AD<double>> : GenericNumTraits<CppAD::AD<double>> {
  using Real = CppAD::AD<double>;
  using NonInteger = CppAD::AD<double>;
  using Nested = CppAD::AD<double>;
  using Literal = CppAD::AD<double>;
  enum {
    IsComplex = 0,
    IsInteger = 0,
    IsSigned = 1,
    RequireInitialization = 1,
    ReadCost = 1,
    AddCost = 2,
    MulCost = 2
  };
  static CppAD::AD<double> epsilon() { return std::numeric_limits<double>::epsilon(); }
  static CppAD::AD<double> dummy_precision() { return 1e-12; }
  static int digits10() { return std::numeric_limits<double>::digits10; }
};
}  // namespace Eigen

using VectorXad = Eigen::Matrix<ad_complex, Eigen::Dynamic, 1>;
using MatrixXad = Eigen::Matrix<ad_complex, Eigen::Dynamic, Eigen::Dynamic>;
