// cy_set_logging_config: the line pattern and level of the engine's logger.

#include "binding.hpp"
#include "util/logging.hpp"

using namespace cy;

namespace {
const int set_logging_config_function = module_function(
    "cy_set_logging_config", {"severity"}, [](const ExactStr& severity) { set_logging_config(severity.bytes); });
}  // namespace
