#pragma once
// Configuration of the process-wide logger that the engine writes through.

#include <string>

#include "util/errors.hpp"

// Installs the line pattern "%x %X %l %v" (local time, "\r\n" line ends) on
// every registered logger and on those registered later, then sets their
// level from "trace", "debug", "info", "warning", "error", "critical" or
// "off". Any other name throws MessageError (util/errors.hpp) after the
// pattern is installed, leaving the levels as they were.
void set_logging_config(const std::string& severity);

