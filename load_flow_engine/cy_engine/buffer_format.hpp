#pragma once
// Whether a buffer's item format (the buffer protocol's struct-style format
// string) denotes exactly one item of the declared kind and size, and the
// messages when it does not. Free of the interpreter's headers so that it
// can be tested on its own.

#include <cctype>
#include <cstddef>
#include <string>

namespace cy {

enum class ItemKind {
  signed_int,
  unsigned_int,
  real,
  complex,
  boolean,
  character,
  object,
  pointer,
  string,
  structure,
  other,  // known to the parser, but no item a declaration can ask for
};

// A declared item: its name in messages, its kind and its size in bytes.
struct ItemSpec {
  const char* name;
  ItemKind kind;
  std::size_t size;
};

struct FormatVerdict {
  bool ok;
  std::string message;  // the ValueError text when not ok
};

namespace format_detail {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "buffer formats are read for little-endian machines");

struct Token {
  bool end = true;
  bool structure = false;
  bool complex = false;
  bool known = true;
  char code = 0;
  long count = 1;
  ItemKind kind = ItemKind::other;
  std::size_t size = 0;
  const char* description = "end";
};

inline void classify(Token& t, bool standard_sizes) {
  const std::size_t scale = t.complex ? 2 : 1;
  auto set = [&](ItemKind kind, std::size_t size, const char* description) {
    t.kind = kind;
    t.size = size * scale;
    t.description = description;
  };
  if (t.complex) {
    switch (t.code) {
      case 'f': return set(ItemKind::complex, sizeof(float), "'complex float'");
      case 'd': return set(ItemKind::complex, sizeof(double), "'complex double'");
      case 'g': return set(ItemKind::complex, sizeof(long double), "'complex long double'");
      default: t.known = false; return;
    }
  }
  const std::size_t long_size = standard_sizes ? 4 : sizeof(long);
  switch (t.code) {
    case 'c': return set(ItemKind::character, 1, "'char'");
    case 'b': return set(ItemKind::signed_int, 1, "'signed char'");
    case 'B': return set(ItemKind::unsigned_int, 1, "'unsigned char'");
    case 'h': return set(ItemKind::signed_int, 2, "'short'");
    case 'H': return set(ItemKind::unsigned_int, 2, "'unsigned short'");
    case 'i': return set(ItemKind::signed_int, 4, "'int'");
    case 'I': return set(ItemKind::unsigned_int, 4, "'unsigned int'");
    case 'l': return set(ItemKind::signed_int, long_size, "'long'");
    case 'L': return set(ItemKind::unsigned_int, long_size, "'unsigned long'");
    case 'q': return set(ItemKind::signed_int, 8, "'long long'");
    case 'Q': return set(ItemKind::unsigned_int, 8, "'unsigned long long'");
    case 'f': return set(ItemKind::real, sizeof(float), "'float'");
    case 'd': return set(ItemKind::real, sizeof(double), "'double'");
    case 'g': return set(ItemKind::real, sizeof(long double), "'long double'");
    case '?': return set(ItemKind::boolean, 1, "'bool'");
    case 'O': return set(ItemKind::object, sizeof(void*), "Python object");
    case 'P': return set(ItemKind::pointer, sizeof(void*), "a pointer");
    case 's':
    case 'p': return set(ItemKind::string, 1, "a string");
    // Known item characters that no declaration asks for.
    case 'x': return set(ItemKind::other, 1, "unparsable format string");
    case 'e': return set(ItemKind::other, 2, "unparsable format string");
    case 'n':
    case 'N': return set(ItemKind::other, sizeof(std::size_t), "unparsable format string");
    default: t.known = false; return;
  }
}

inline Token next_token(const char*& p, bool standard_sizes) {
  Token t;
  while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
  if (*p == '\0') return t;
  t.end = false;
  if (std::isdigit(static_cast<unsigned char>(*p))) {
    t.count = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) t.count = t.count * 10 + (*p++ - '0');
  }
  if (p[0] == 'T' && p[1] == '{') {
    t.structure = true;
    t.kind = ItemKind::structure;
    t.description = "a struct";
    return t;
  }
  if (*p == 'Z') {
    t.complex = true;
    ++p;
  }
  t.code = *p;
  if (t.code == '\0') {
    t.end = true;  // a bare count or Z prefix
    return t;
  }
  ++p;
  classify(t, standard_sizes);
  return t;
}

inline std::string unexpected(char code) { return std::string("Unexpected format string character: '") + code + "'"; }

inline std::string mismatch(const char* quote, const char* expected, const char* description) {
  return std::string("Buffer dtype mismatch, expected ") + quote + expected + quote + " but got " + description;
}

}  // namespace format_detail

// Checks the format of a buffer against one declared item. A null format
// means unsigned bytes, as the buffer protocol says.
inline FormatVerdict check_item_format(const char* format, const ItemSpec& spec) {
  using namespace format_detail;
  const char* p = format != nullptr ? format : "B";
  bool standard_sizes = false;
  switch (*p) {
    case '@':
    case '^': ++p; break;
    case '=':
    case '<': standard_sizes = true; ++p; break;
    case '>':
    case '!': return {false, "Big-endian buffer not supported on little-endian compiler"};
    default: break;
  }
  Token first = next_token(p, standard_sizes);
  if (!first.end && !first.structure && !first.known) return {false, unexpected(first.code)};
  if (first.end || first.structure || first.count == 0 || first.kind != spec.kind || first.size != spec.size)
    return {false, mismatch("'", spec.name, first.end || first.count == 0 ? "end" : first.description)};
  if (first.count > 1) return {false, mismatch("", "end", first.description)};
  Token rest = next_token(p, standard_sizes);
  if (rest.end) return {true, {}};
  if (!rest.structure && !rest.known) return {false, unexpected(rest.code)};
  return {false, mismatch("", "end", rest.description)};
}

inline std::string item_size_mismatch(std::size_t buffer_item_size, const ItemSpec& spec) {
  return "Item size of buffer (" + std::to_string(buffer_item_size) + " byte" + (buffer_item_size == 1 ? "" : "s") +
         ") does not match size of '" + spec.name + "' (" + std::to_string(spec.size) + " byte" +
         (spec.size == 1 ? "" : "s") + ")";
}

}  // namespace cy
