#pragma once
// Value holders: every quantity a solver sees (node potentials, element
// variables, dynamic parameters). A holder keeps its own stored value; once
// a solver binds it, reads go through a pointer into the solver's array and
// writes go to both places, so a parameter change reaches a recorded tape
// without recording it again.

#include <functional>
#include <vector>

#include <Eigen/Dense>

#include "util/ad_types.hpp"

// Which holders a solver bound, and to which slots: the solver unbinds
// exactly these when it goes, whatever joins or later bindings have changed
// since. A bind given the record notes its holder in it.
class BindingRecord {
 public:
  BindingRecord() = default;
  BindingRecord(const BindingRecord&) = delete;
  BindingRecord& operator=(const BindingRecord&) = delete;

  // Called by a holder's bind before it takes `slot`.
  void note(double*& value_ptr, bool& bound, double* slot) { entries_.push_back({&value_ptr, &bound, slot}); }

  // Every noted holder that still holds the slot it was given is unbound
  // (its stored value is read again); holders bound since to other arrays
  // keep their binding. The holders must still exist.
  void release();

 private:
  struct Entry {
    double** value_ptr;
    bool* bound;
    double* slot;
  };
  std::vector<Entry> entries_;
};

class Variable {
 public:
  double* value_ptr = nullptr;
  ad_complex ad;
  complex_d value;
  bool bound = false;

  explicit Variable(complex_d v = 0.0) : value(v) {}

  void append_value(std::vector<double>& out) const;
  void bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record = nullptr);
  complex_d get_value() const;
  void set_value(complex_d v);
};

class ScalarVariable {
 public:
  double* value_ptr = nullptr;
  ad_double ad;
  double value;
  bool bound = false;

  explicit ScalarVariable(double v = 0.0) : value(v) {}

  void append_value(std::vector<double>& out) const;
  void bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record = nullptr);
  double get_value() const;
  void set_value(double v);
};

class VectorVariable {
 public:
  double* value_ptr = nullptr;
  VectorXad ad;
  Eigen::VectorXcd value;
  bool bound = false;

  explicit VectorVariable(Eigen::VectorXcd v = {}) : value(std::move(v)) {}

  void append_values(std::vector<double>& out) const;
  void bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record = nullptr);
  Eigen::VectorXcd get_value() const;
  VectorXad get_ad() const { return ad; }
  void set_value(const Eigen::VectorXcd& v);
};

class MatrixVariable {
 public:
  double* value_ptr = nullptr;
  MatrixXad ad;
  Eigen::MatrixXcd value;
  bool bound = false;

  explicit MatrixVariable(Eigen::MatrixXcd v = {}) : value(std::move(v)) {}

  void append_values(std::vector<double>& out) const;
  void bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record = nullptr);
  Eigen::MatrixXcd get_value() const;
  // The same values into `out`, which keeps its storage when already sized.
  void read_value(Eigen::MatrixXcd& out) const;
  MatrixXad get_ad() const { return ad; }
  void set_value(const Eigen::MatrixXcd& v);
};

// A walk over holders in their layout order. An element declares its holders
// once, as such a walk; appending the present values and binding to a solver
// are the two visitors, so the two can never disagree on order or count.
class HolderVisitor {
 public:
  void visit(Variable& h) { on_complex(h); }
  void visit(ScalarVariable& h) { on_scalar(h, nullptr); }
  // A holder whose starting value is computed rather than stored: appending
  // takes start(), binding binds the holder as usual.
  void visit(ScalarVariable& h, const std::function<double()>& start) { on_scalar(h, &start); }
  void visit(VectorVariable& h) { on_vector(h); }
  void visit(MatrixVariable& h) { on_matrix(h); }
  void visit(std::vector<Variable>& hs) {
    for (Variable& h : hs) on_complex(h);
  }

 protected:
  ~HolderVisitor() = default;
  virtual void on_complex(Variable& h) = 0;
  virtual void on_scalar(ScalarVariable& h, const std::function<double()>* start) = 0;
  virtual void on_vector(VectorVariable& h) = 0;
  virtual void on_matrix(MatrixVariable& h) = 0;
};

// Pushes each visited holder's present value onto `out`.
class AppendValues final : public HolderVisitor {
 public:
  explicit AppendValues(std::vector<double>& out) : out_(out) {}

 private:
  void on_complex(Variable& h) override { h.append_value(out_); }
  void on_scalar(ScalarVariable& h, const std::function<double()>* start) override {
    if (start != nullptr)
      out_.push_back((*start)());
    else
      h.append_value(out_);
  }
  void on_vector(VectorVariable& h) override { h.append_values(out_); }
  void on_matrix(MatrixVariable& h) override { h.append_values(out_); }
  std::vector<double>& out_;
};

// Binds each visited holder at `index` of the solver's arrays and advances
// it, noting each in `record` when one is given.
class BindValues final : public HolderVisitor {
 public:
  BindValues(TapeArray& tape, Eigen::VectorXd& array, int& index, BindingRecord* record = nullptr)
      : tape_(tape), array_(array), index_(index), record_(record) {}

 private:
  void on_complex(Variable& h) override { h.bind(tape_, array_, index_, record_); }
  void on_scalar(ScalarVariable& h, const std::function<double()>*) override {
    h.bind(tape_, array_, index_, record_);
  }
  void on_vector(VectorVariable& h) override { h.bind(tape_, array_, index_, record_); }
  void on_matrix(MatrixVariable& h) override { h.bind(tape_, array_, index_, record_); }
  TapeArray& tape_;
  Eigen::VectorXd& array_;
  int& index_;
  BindingRecord* record_;
};

// The matrix as doubles in row-major order, real part before imaginary part.
std::vector<double> flatten_matrix(const Eigen::MatrixXcd& m);
// The vector as doubles, entry by entry, real part before imaginary part.
std::vector<double> flatten_vector(const Eigen::VectorXcd& v);

// Per-phase holders of an element (powers, currents, admittances, voltages).
void append_values(const std::vector<Variable>& vars, std::vector<double>& out);
void bind_values(std::vector<Variable>& vars, TapeArray& tape, Eigen::VectorXd& array, int& c);
// Sets holder i to values[i]; values must hold at least vars.size() entries.
void update_variable_values(std::vector<Variable>& vars, const complex_d* values);
// The one-value form: sets the single holder, and nothing when there is none.
// Throws std::invalid_argument for more than one holder rather than read
// values that were never given.
void update_single_value(std::vector<Variable>& vars, complex_d value);
