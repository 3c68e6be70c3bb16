#include "model/flexible_parameter.hpp"

#include <cmath>
#include <stdexcept>

namespace {

int control_type(const std::string& name) {
  if (name == "constant") return Control::constant;
  if (name == "q_u") return Control::q_u;
  if (name == "p_max_u_production") return Control::p_max_u_production;
  if (name == "p_max_u_consumption") return Control::p_max_u_consumption;
  throw std::runtime_error(name + " is a bad control type name");
}

int projection_type(const std::string& name) {
  if (name == "euclidean") return Projection::euclidean;
  if (name == "keep_p") return Projection::keep_p;
  if (name == "keep_q") return Projection::keep_q;
  throw std::runtime_error(name + " is a bad projection type name");
}

// Sign that "keep_q" gives the active power: that of the theoretical power,
// a NaN counting as negative. On the tape it is a conditional expression, so
// each evaluation follows the theoretical power it is given rather than the
// one present at recording.
double sign_of_theoretical(double pth) { return pth >= 0.0 ? 1.0 : -1.0; }
ad_double sign_of_theoretical(const ad_double& pth) {
  return CppAD::CondExpGe(pth, ad_double(0.0), ad_double(1.0), ad_double(-1.0));
}

// The formulas below are written once for double and for the tape scalar.
// Control fields and the numbers derived from them alone are doubles, so the
// tape records them as constants.
//
// The laws' exponentials grow as e^(alpha * distance), beyond the range of a
// double once alpha times a per-unit distance passes about 709. They are
// evaluated in forms that never form such an exponential yet equal the
// textbook expressions to rounding wherever those are finite; the tape holds
// no branch that depends on the voltage it was recorded at: |x| is a tape
// operation and the one choice made (the larger exponent) is a conditional
// expression.

double magnitude(double x) { return std::fabs(x); }
ad_double magnitude(const ad_double& x) { return CppAD::abs(x); }

double larger(double x, double y) { return x >= y ? x : y; }
ad_double larger(const ad_double& x, const ad_double& y) { return CppAD::CondExpGe(x, y, x, y); }

// ln(1 + e^z) as max(z, 0) + ln(1 + e^-|z|); max(z, 0) is (z + |z|) / 2,
// exact in both signs, so for z <= 0 this is log1p(exp(z)) bit for bit.
template <class S>
S softplus(const S& z) {
  using std::exp;
  using std::log1p;
  const S az = magnitude(z);
  return 0.5 * (z + az) + log1p(exp(-az));
}

// ln((e^x + 1) / (e^y + 1)) = softplus(x) - softplus(y), the two linear parts
// subtracted first: for x and y both large and close the difference is then
// as exact as x - y.
template <class S>
S log_ratio(const S& x, const S& y) {
  using std::exp;
  using std::log1p;
  const S ax = magnitude(x), ay = magnitude(y);
  return 0.5 * ((x + ax) - (y + ay)) + (log1p(exp(-ax)) - log1p(exp(-ay)));
}

template <class S>
S active_power(const Control& c, const S& u, const S& pth, const S& s_max) {
  using std::exp;
  const double a = c.alpha, e = c.epsilon;
  switch (c.type) {
    case Control::constant:
      return pth;
    case Control::p_max_u_production: {
      const S knee = ((pth / s_max + 1.0) * (c.u_max - c.u_up) + c.u_up) / c.u_max;
      const S l = log_ratio((u / c.u_max - 1.0) * a, (u / c.u_max - knee) * a);
      // The floor's exponential (here and below) overflows only where the
      // reciprocal it enters is negligible; inf makes that reciprocal 0.
      const S e3 = exp(-(1.0 - knee) / e);
      return (l * (1.0 / (((e3 * e + 1.0) - knee) * a)) + 1.0) * pth;
    }
    case Control::p_max_u_consumption: {
      const S knee = (c.u_down - (1.0 - pth / s_max) * (c.u_down - c.u_min)) / c.u_min;
      const S l = log_ratio((u / c.u_min - knee) * a, (u / c.u_min - 1.0) * a);
      const S e3 = exp(-(knee - 1.0) / e);
      return (l * (1.0 / (-((e3 * e + knee) - 1.0) * a))) * pth;
    }
    default:
      throw std::runtime_error("Bad control type for P");
  }
}

template <class S>
S reactive_power(const Control& c, const S& u, const S& v, const S& q_min, const S& q_max) {
  const double a = c.alpha;
  switch (c.type) {
    case Control::constant:
      return v;
    case Control::q_u: {
      const S x = u / c.u_max;
      const double m = c.u_min / c.u_max, d = c.u_down / c.u_max, r = c.u_up / c.u_max;
      const S l1 = log_ratio((x - d) * a, (x - m) * a);
      const S low = l1 * (1.0 / ((m - d) * a)) - 1.0;
      const S l2 = log_ratio((x - r) * a, (x - 1.0) * a);
      const S high = l2 * (1.0 / ((1.0 - r) * a));
      return ((v - q_min) * low + v) + (q_max - v) * high;
    }
    default:
      throw std::runtime_error("Bad control type for Q");
  }
}

// Smooth minimum of b and c, kept above a floor of about e. The weights
// e^(k b) and e^(k c) are taken relative to the larger one, which is then
// exactly 1: neither can overflow, nor can both vanish.
template <class S>
S soft_floor_min(const S& b, const S& c, double a, double e) {
  using std::exp;
  const double k = -0.15 * a;
  const S kb = k * b, kc = k * c;
  const S top = larger(kb, kc);
  const S db = exp(kb - top);
  const S ec = exp(kc - top);
  const S w = (ec * c + db * b) / (ec + db);
  return exp(-w / e) * e + w;
}

template <class S>
std::complex<S> flexible_power(const FlexibleParameter& f, const S& u, const S& pth, const S& v, const S& s_max,
                               const S& q_min, const S& q_max) {
  using std::exp;
  using std::sqrt;
  using std::tanh;
  const S p_law = active_power(f.control_p, u, pth, s_max);
  const S q_law = reactive_power(f.control_q, u, v, q_min, q_max);
  if (f.control_p.type == Control::constant && f.control_q.type == Control::constant) return {pth, v};

  const double a = f.projection.alpha, e = f.projection.epsilon;
  S p = p_law / s_max;
  S q = q_law / s_max;
  switch (f.projection.type) {
    case Projection::euclidean: {
      const S s = q * q + p * p;
      const S g = exp(-s / e) * e + s;
      const S o = softplus((sqrt(g) - 1.0) * a) * (1.0 / a) + 1.0;
      p = p / o;
      q = q / o;
      break;
    }
    case Projection::keep_p:
      q = sqrt(soft_floor_min(q * q, 1.0 - p * p, a, e)) * tanh(a * q);
      break;
    default:  // keep_q
      p = sign_of_theoretical(pth) * sqrt(soft_floor_min(p * p, 1.0 - q * q, a, e));
      break;
  }
  return {p * s_max, q * s_max};
}

}  // namespace

Control::Control(const std::string& name, double u_min, double u_down, double u_up, double u_max, double alpha,
                 double epsilon)
    : type(control_type(name)), u_min(u_min), u_down(u_down), u_up(u_up), u_max(u_max), alpha(alpha),
      epsilon(epsilon) {}

Projection::Projection(const std::string& name, double alpha, double epsilon)
    : type(projection_type(name)), alpha(alpha), epsilon(epsilon) {}

FlexibleParameter::FlexibleParameter(const Control& control_p, const Control& control_q,
                                     const Projection& projection, double s_max, double q_min, double q_max)
    : control_p(control_p), control_q(control_q), projection(projection), s_max(s_max), q_min(q_min),
      q_max(q_max) {}

void FlexibleParameter::update_parameters(double s_max_value, double q_min_value, double q_max_value) {
  s_max.set_value(s_max_value);
  q_min.set_value(q_min_value);
  q_max.set_value(q_max_value);
}

complex_d FlexibleParameter::compute_power(double u, complex_d s_th) const {
  return flexible_power<double>(*this, u, s_th.real(), s_th.imag(), s_max.get_value(), q_min.get_value(),
                                q_max.get_value());
}

ad_complex FlexibleParameter::compute_power(const ad_double& u, const ad_complex& s_th) const {
  return flexible_power<ad_double>(*this, u, s_th.real(), s_th.imag(), s_max.ad, q_min.ad, q_max.ad);
}
