#include "model/load_balancer.hpp"

namespace {

// Y = Zlb^-1 with Zlb = z2 I + ((1 + 1/k^2) I - (1/k)(J - I)) / ym.
Eigen::MatrixXcd balancer_admittance(complex_d z2, complex_d ym, double k) {
  const double a = 1.0 / (k * k) + 1.0;
  const complex_d a_over_ym = complex_divide(complex_d(a, 0.0), ym);
  const complex_d diagonal(z2.real() + a_over_ym.real(), a_over_ym.imag() + z2.imag());
  const complex_d off = complex_divide(complex_d(-1.0, 0.0), complex_d(ym.real() * k, ym.imag() * k));
  // Dynamic size: the inverse then goes through the partial-pivot LU.
  Eigen::MatrixXcd z(3, 3);
  z << diagonal, off, off, off, diagonal, off, off, off, diagonal;
  return z.inverse();
}

}  // namespace

LoadBalancer::LoadBalancer(complex_d z2, complex_d ym, double k)
    : Load<LoadBalancer>(4), admittance(balancer_admittance(z2, ym, k)) {
  incidence << 1, 0, 0, -1, 0, 1, 0, -1, 0, 0, 1, -1;
  // Until a solver binds it, the tape value is constant zeros of Y's shape,
  // as for every other unbound holder.
  admittance.ad = MatrixXad::Constant(3, 3, ad_complex(ad_double(0.0), ad_double(0.0)));
}

LoadBalancer::~LoadBalancer() = default;

void LoadBalancer::parameter_holders(HolderVisitor& visitor) { visitor.visit(admittance); }

template <class C>
void LoadBalancer::phase_to_neutral(C (&u)[3]) const {
  C v[4];
  for (int k = 0; k < 4; ++k) v[k] = CurrentMode<C>::potential(ports[static_cast<size_t>(k)]);
  // Every coefficient multiplies its potential, zeros included, so that a
  // non-finite potential anywhere shows in every phase.
  for (int j = 0; j < 3; ++j)
    u[j] = (scaled(v[0], incidence(j, 0)) + scaled(v[1], incidence(j, 1))) +
           (scaled(v[2], incidence(j, 2)) + scaled(v[3], incidence(j, 3)));
}

template <class C>
void LoadBalancer::assign_port_currents(const C (&phase)[3]) {
  using M = CurrentMode<C>;
  C neutral = M::zero();
  for (int j = 0; j < 3; ++j) {
    M::current(ports[static_cast<size_t>(j)]) = phase[j];
    neutral -= phase[j];
  }
  M::current(ports[3]) = neutral;
}

template <class C>
void LoadBalancer::compute_currents() {
  C u[3];
  phase_to_neutral(u);
  const auto i = CurrentMode<C>::apply(admittance, u);
  const C phase[3] = {i(0), i(1), i(2)};
  assign_port_currents(phase);
}

template void LoadBalancer::compute_currents<complex_d>();
template void LoadBalancer::compute_currents<ad_complex>();

void LoadBalancer::backward_step() {
  complex_d u[3];
  phase_to_neutral(u);
  admittance.read_value(sweep_admittance_);
  const Eigen::Vector3cd i = sweep_admittance_ * Eigen::Map<const Eigen::Vector3cd>(u);
  const complex_d phase[3] = {i(0), i(1), i(2)};
  assign_port_currents(phase);
}
