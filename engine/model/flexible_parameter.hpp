#pragma once
// Voltage-dependent power of one flexible-load phase: a control law for P, one
// for Q, and a projection back within the apparent-power limit. Every law is
// smooth so that the Newton tape can differentiate it; the plain and tape forms
// evaluate the same formulas in the same order.

#include <string>

#include "model/variables.hpp"
#include "util/ad_types.hpp"

class Control {
 public:
  enum Type : int { constant = 0, q_u = 1, p_max_u_production = 2, p_max_u_consumption = 3 };

  int type;
  double u_min;
  double u_down;
  double u_up;
  double u_max;
  double alpha;
  double epsilon;

  // Throws std::runtime_error unless `name` is exactly one of the law names.
  Control(const std::string& name, double u_min, double u_down, double u_up, double u_max, double alpha,
          double epsilon);
};

class Projection {
 public:
  enum Type : int { euclidean = 0, keep_p = 1, keep_q = 2 };

  int type;
  double alpha;
  double epsilon;

  // Throws std::runtime_error unless `name` is exactly one of the projection names.
  Projection(const std::string& name, double alpha, double epsilon);
};

class FlexibleParameter {
 public:
  Control control_p;
  Control control_q;
  Projection projection;
  ScalarVariable s_max;
  ScalarVariable q_min;
  ScalarVariable q_max;

  FlexibleParameter(const Control& control_p, const Control& control_q, const Projection& projection,
                    double s_max, double q_min, double q_max);

  // The limits in layout order: s_max, q_min, q_max.
  void holders(HolderVisitor& visitor) {
    visitor.visit(s_max);
    visitor.visit(q_min);
    visitor.visit(q_max);
  }

  // Writes the limits, through to the solver's parameter array when bound.
  void update_parameters(double s_max, double q_min, double q_max);

  // Power drawn at phase-voltage magnitude u for the theoretical power s_th.
  // Throws std::runtime_error for a law that cannot serve its role.
  complex_d compute_power(double u, complex_d s_th) const;
  ad_complex compute_power(const ad_double& u, const ad_complex& s_th) const;
};
