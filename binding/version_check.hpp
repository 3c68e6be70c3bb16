#pragma once
// The warning the module gives when it runs under another interpreter
// version than the one its headers came from. Free of the interpreter's
// headers so that it can be tested on its own.

#include <cstdio>
#include <string>

namespace cy {

// Empty when the major and minor versions agree; micro version, release
// level and serial are never compared.
inline std::string version_mismatch_warning(int built_major, int built_minor, int running_major,
                                            int running_minor) {
  if (built_major == running_major && built_minor == running_minor) return {};
  char text[256];
  std::snprintf(text, sizeof text, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                built_major, built_minor, "load_flow_engine.cy_engine", "does not match", running_major,
                running_minor);
  return text;
}

}  // namespace cy
