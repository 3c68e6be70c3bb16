#pragma once
// The engine's own error texts, each worded in one place. A solver failure
// opens with the digit of the solver family that failed: 1 for the Newton
// solvers, 2 for the backward-forward sweeps.

#include <stdexcept>
#include <string>

enum class SolverFamily { newton = 1, backward_forward = 2 };

// "<digit> NaN value encountered at iteration <iteration>. "
std::runtime_error nan_failure(SolverFamily family, int iteration);

// "1 Decomposition failed, singular matrix at iteration <iteration>. "
std::runtime_error singular_failure(int iteration);

// "2 No backward-forward method has been defined for <subject>": an element
// without a backward step.
std::runtime_error no_backward_step(const std::string& subject);

// The standard length error, "vector too long", worded the same for every
// element.
std::length_error vector_too_long();

// Reserves room for exactly n entries; a negative count is the length error.
template <class Vector>
void reserve_exactly(Vector& v, long long n) {
  if (n < 0) throw vector_too_long();
  v.reserve(static_cast<size_t>(n));
}

// A runtime error whose text may hold zero bytes (what() would cut it at the
// first one): the binding reports text() whole.
class MessageError : public std::runtime_error {
 public:
  explicit MessageError(std::string text) : std::runtime_error(text), text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};
