#pragma once
// Turns errors reported by the differentiation library into one error line
// of the process-wide logger; the library then carries on.

void cppad_error_handler(bool known, int line, const char* file, const char* exp, const char* msg);
