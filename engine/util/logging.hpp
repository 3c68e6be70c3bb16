#pragma once
// Configuration of the process-wide logger that the engine writes through.

#include <stdexcept>
#include <string>

// Installs the line pattern "%x %X %l %v" (local time, "\r\n" line ends) on
// every registered logger and on those registered later, then sets their
// level from "trace", "debug", "info", "warning", "error", "critical" or
// "off". Any other name throws MessageError (a std::runtime_error) after the pattern is
// installed, leaving the levels as they were.
void set_logging_config(const std::string& severity);

// A runtime error whose text may hold zero bytes (what() would cut it at the
// first one): the unknown severity name is reported whole.
class MessageError : public std::runtime_error {
 public:
  explicit MessageError(std::string text) : std::runtime_error(text), text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};
