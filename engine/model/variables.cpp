#include "model/variables.hpp"

#include <stdexcept>

#include <fmt/format.h>

void BindingRecord::release() {
  for (const Entry& e : entries_) {
    if (*e.bound && *e.value_ptr == e.slot) {
      *e.value_ptr = nullptr;
      *e.bound = false;
    }
  }
  entries_.clear();
}

void Variable::append_value(std::vector<double>& out) const {
  out.push_back(value.real());
  out.push_back(value.imag());
}

void Variable::bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record) {
  ad = ad_complex(tape[c], tape[c + 1]);
  // Noted first: a holder bound without a note could outlive the arrays.
  if (record != nullptr) record->note(value_ptr, bound, array.data() + c);
  value_ptr = array.data() + c;
  c += 2;
  bound = true;
}

complex_d Variable::get_value() const {
  return bound ? complex_d(value_ptr[0], value_ptr[1]) : value;
}

void Variable::set_value(complex_d v) {
  value = v;
  if (bound) {
    value_ptr[0] = v.real();
    value_ptr[1] = v.imag();
  }
}

void ScalarVariable::append_value(std::vector<double>& out) const { out.push_back(value); }

void ScalarVariable::bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record) {
  ad = tape[c];
  if (record != nullptr) record->note(value_ptr, bound, array.data() + c);
  value_ptr = array.data() + c;
  c += 1;
  bound = true;
}

double ScalarVariable::get_value() const { return bound ? *value_ptr : value; }

void ScalarVariable::set_value(double v) {
  value = v;
  if (bound) *value_ptr = v;
}

namespace {
void append_flat(const complex_d* data, Eigen::Index count, std::vector<double>& out) {
  for (Eigen::Index k = 0; k < count; ++k) {
    out.push_back(data[k].real());
    out.push_back(data[k].imag());
  }
}

void write_flat(const complex_d* data, Eigen::Index count, double* dst) {
  for (Eigen::Index k = 0; k < count; ++k) {
    dst[2 * k] = data[k].real();
    dst[2 * k + 1] = data[k].imag();
  }
}

// Row by row, without a row-major copy of the matrix.
void write_row_major(const Eigen::MatrixXcd& m, double* dst) {
  for (Eigen::Index i = 0; i < m.rows(); ++i)
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
      *dst++ = m(i, j).real();
      *dst++ = m(i, j).imag();
    }
}

void append_row_major(const Eigen::MatrixXcd& m, std::vector<double>& out) {
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(2 * m.size()));
  write_row_major(m, out.data() + at);
}
}  // namespace

void VectorVariable::append_values(std::vector<double>& out) const {
  append_flat(value.data(), value.size(), out);
}

void VectorVariable::bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record) {
  const Eigen::Index n = value.size();
  ad.resize(n);
  for (Eigen::Index k = 0; k < n; ++k) ad(k) = ad_complex(tape[c + 2 * k], tape[c + 2 * k + 1]);
  if (record != nullptr) record->note(value_ptr, bound, array.data() + c);
  value_ptr = array.data() + c;
  c += static_cast<int>(2 * n);
  bound = true;
}

Eigen::VectorXcd VectorVariable::get_value() const {
  if (!bound) return value;
  Eigen::VectorXcd out(value.size());
  for (Eigen::Index k = 0; k < out.size(); ++k) out(k) = complex_d(value_ptr[2 * k], value_ptr[2 * k + 1]);
  return out;
}

void VectorVariable::set_value(const Eigen::VectorXcd& v) {
  value = v;
  if (bound) write_flat(value.data(), value.size(), value_ptr);
}

void MatrixVariable::append_values(std::vector<double>& out) const {
  append_row_major(value, out);
}

void MatrixVariable::bind(TapeArray& tape, Eigen::VectorXd& array, int& c, BindingRecord* record) {
  const Eigen::Index rows = value.rows(), cols = value.cols();
  ad.resize(rows, cols);
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j) {
      const Eigen::Index k = c + 2 * (i * cols + j);
      ad(i, j) = ad_complex(tape[k], tape[k + 1]);
    }
  if (record != nullptr) record->note(value_ptr, bound, array.data() + c);
  value_ptr = array.data() + c;
  c += static_cast<int>(2 * rows * cols);
  bound = true;
}

Eigen::MatrixXcd MatrixVariable::get_value() const {
  if (!bound) return value;
  const Eigen::Index rows = value.rows(), cols = value.cols();
  Eigen::MatrixXcd out(rows, cols);
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double* p = value_ptr + 2 * (i * cols + j);
      out(i, j) = complex_d(p[0], p[1]);
    }
  return out;
}

void MatrixVariable::read_value(Eigen::MatrixXcd& out) const {
  if (!bound) {
    out = value;
    return;
  }
  const Eigen::Index rows = value.rows(), cols = value.cols();
  out.resize(rows, cols);
  for (Eigen::Index i = 0; i < rows; ++i)
    for (Eigen::Index j = 0; j < cols; ++j) {
      const double* p = value_ptr + 2 * (i * cols + j);
      out(i, j) = complex_d(p[0], p[1]);
    }
}

void MatrixVariable::set_value(const Eigen::MatrixXcd& v) {
  value = v;
  if (bound) {
    write_row_major(value, value_ptr);
  }
}

std::vector<double> flatten_matrix(const Eigen::MatrixXcd& m) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(2 * m.size()));
  append_row_major(m, out);
  return out;
}

std::vector<double> flatten_vector(const Eigen::VectorXcd& v) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(2 * v.size()));
  append_flat(v.data(), v.size(), out);
  return out;
}

void append_values(const std::vector<Variable>& vars, std::vector<double>& out) {
  for (const Variable& v : vars) v.append_value(out);
}

void bind_values(std::vector<Variable>& vars, TapeArray& tape, Eigen::VectorXd& array, int& c) {
  for (Variable& v : vars) v.bind(tape, array, c);
}

void update_variable_values(std::vector<Variable>& vars, const complex_d* values) {
  for (size_t i = 0; i < vars.size(); ++i) vars[i].set_value(values[i]);
}

void update_single_value(std::vector<Variable>& vars, complex_d value) {
  if (vars.size() > 1)
    throw std::invalid_argument(
        fmt::format("a one-value update sets at most one value, this element holds {}", vars.size()));
  update_variable_values(vars, &value);
}
