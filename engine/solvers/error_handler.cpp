#include "solvers/error_handler.hpp"

#include <spdlog/spdlog.h>
#include <string>

void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg) {
  std::string text = known ? "Error from a known source:\n" : "Error from unknown source\n";
  if (msg != nullptr && *msg != '\0') text.append(msg).append("\n");
  text.append("Error detected by false result for\n");
  text.append("    ").append(exp != nullptr ? exp : "").append("\n");
  text.append("at line ").append(std::to_string(line)).append(" in the file \n");
  text.append("    ").append(file != nullptr ? file : "").append("\n");
  // A plain message: braces in the library's text are not format fields.
  spdlog::default_logger_raw()->log(spdlog::level::err, spdlog::string_view_t(text));
}
