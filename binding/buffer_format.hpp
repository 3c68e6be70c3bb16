#pragma once
// Whether a buffer's item format (the buffer protocol's struct-style format
// string) denotes exactly one item of the declared kind and size, and the
// messages when it does not. Free of the interpreter's headers so that it
// can be tested on its own.

#include <algorithm>
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

// Reads the leaf items of a format one by one: the fields of structures are
// read in order, as if the structure were written out flat, so that a
// structure holding more than one item is told apart from one item.
class FormatReader {
 public:
  FormatReader(const char* p, bool standard_sizes) : p_(p), standard_sizes_(standard_sizes) {}

  // The next leaf item, or a token with end set. Sets big_endian and
  // returns an end token when a field asks for big-endian order.
  Token next() {
    for (;;) {
      while (*p_ == ' ' || *p_ == '\t' || *p_ == '\n') ++p_;
      if (depth_ > 0 && !skip_structure_syntax()) {
        if (big_endian) return Token{};
        continue;
      }
      Token t;
      if (*p_ == '\0') return t;
      t.end = false;
      if (!read_count(t.count)) {
        t.known = false;
        t.code = *p_;
        return t;
      }
      if (p_[0] == 'T' && p_[1] == '{') {
        if (t.count != 1 || depth_ == max_depth) {
          t.structure = true;
          t.kind = ItemKind::structure;
          t.description = "a struct";
          return t;
        }
        p_ += 2;
        ++depth_;
        continue;
      }
      if (depth_ > 0 && *p_ == 'x') {  // padding between fields
        ++p_;
        continue;
      }
      if (*p_ == 'Z') {
        t.complex = true;
        ++p_;
      }
      t.code = *p_;
      if (t.code == '\0') {
        t.end = true;  // a bare count or Z prefix
        return t;
      }
      ++p_;
      classify(t, standard_sizes_);
      return t;
    }
  }

  bool big_endian = false;

 private:
  // Field names, closing braces and byte-order marks inside a structure.
  // Returns false when it consumed something (or failed), true when the
  // next character starts an item.
  bool skip_structure_syntax() {
    switch (*p_) {
      case ':': {
        const char* close = p_ + 1;
        while (*close != '\0' && *close != ':') ++close;
        p_ = *close == ':' ? close + 1 : close;
        return false;
      }
      case '}': ++p_; --depth_; return false;
      case '@':
      case '^': standard_sizes_ = false; ++p_; return false;
      case '=':
      case '<': standard_sizes_ = true; ++p_; return false;
      case '>':
      case '!': big_endian = true; return false;
      default: return true;
    }
  }

  // A repeat count, plain or as a shape "(2,3)"; false on a malformed shape.
  bool read_count(long& count) {
    auto digits = [&](long& value) {
      if (!std::isdigit(static_cast<unsigned char>(*p_))) return false;
      value = 0;
      while (std::isdigit(static_cast<unsigned char>(*p_))) value = std::min(value * 10 + (*p_++ - '0'), 1L << 40);
      return true;
    };
    if (*p_ == '(') {
      ++p_;
      count = 1;
      for (;;) {
        long extent = 0;
        while (*p_ == ' ') ++p_;
        if (!digits(extent)) return false;
        count = extent == 0 ? 0 : std::min(count, (1L << 40) / extent) * extent;
        while (*p_ == ' ') ++p_;
        if (*p_ == ')') break;
        if (*p_ != ',') return false;
        ++p_;
      }
      ++p_;
      return true;
    }
    digits(count);
    return true;
  }

  static constexpr int max_depth = 64;
  const char* p_;
  bool standard_sizes_;
  int depth_ = 0;
};

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
  const char* big_endian = "Big-endian buffer not supported on little-endian compiler";
  FormatReader reader(p, standard_sizes);
  Token first = reader.next();
  if (reader.big_endian) return {false, big_endian};
  if (!first.end && !first.structure && !first.known) return {false, unexpected(first.code)};
  if (first.end || first.structure || first.count == 0 || first.kind != spec.kind || first.size != spec.size)
    return {false, mismatch("'", spec.name, first.end || first.count == 0 ? "end" : first.description)};
  if (first.count > 1) return {false, mismatch("", "end", first.description)};
  Token rest = reader.next();
  if (reader.big_endian) return {false, big_endian};
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
