#include "util/errors.hpp"

#include <fmt/format.h>

std::runtime_error nan_failure(SolverFamily family, int iteration) {
  return std::runtime_error(
      fmt::format("{} NaN value encountered at iteration {}. ", static_cast<int>(family), iteration));
}

std::runtime_error singular_failure(int iteration) {
  return std::runtime_error(fmt::format("1 Decomposition failed, singular matrix at iteration {}. ", iteration));
}

std::runtime_error no_backward_step(const std::string& subject) {
  return std::runtime_error("2 No backward-forward method has been defined for " + subject);
}

std::length_error vector_too_long() { return std::length_error("vector too long"); }
