#include "util/logging.hpp"

#include <memory>
#include <stdexcept>

#include <spdlog/pattern_formatter.h>
#include <spdlog/spdlog.h>

void set_logging_config(const std::string& severity) {
  // No colour range in the pattern: configured lines carry no colour.
  spdlog::set_formatter(
      std::make_unique<spdlog::pattern_formatter>("%x %X %l %v", spdlog::pattern_time_type::local, "\r\n"));
  struct Name {
    const char* name;
    spdlog::level::level_enum level;
  };
  static const Name names[] = {
      {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},       {"info", spdlog::level::info},
      {"warning", spdlog::level::warn}, {"error", spdlog::level::err},        {"critical", spdlog::level::critical},
      {"off", spdlog::level::off},
  };
  for (const Name& n : names) {
    if (severity == n.name) {
      spdlog::set_level(n.level);
      return;
    }
  }
  throw MessageError("Unknown severity string " + severity + ".");
}
