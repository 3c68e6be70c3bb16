// Texts of the binding that need no interpreter: buffer item formats and the
// version warning.

#include <gtest/gtest.h>

#include <string>

#include "../../binding/buffer_format.hpp"
#include "../../binding/version_check.hpp"

namespace {

const cy::ItemSpec int_item{"int", cy::ItemKind::signed_int, 4};
const cy::ItemSpec double_item{"double", cy::ItemKind::real, 8};
const cy::ItemSpec complex_item{"double complex", cy::ItemKind::complex, 16};
const cy::ItemSpec object_item{"CyFlexibleParameter", cy::ItemKind::object, 8};

struct FormatCase {
  const char* format;
  const cy::ItemSpec* item;
  const char* message;  // empty when the format matches
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << (c.format ? c.format : "(null)") << "\" as " << c.item->name; }

class ItemFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ItemFormat, MatchesOrNamesTheMismatch) {
  const FormatCase& c = GetParam();
  const cy::FormatVerdict verdict = cy::check_item_format(c.format, *c.item);
  EXPECT_EQ(verdict.ok, std::string(c.message).empty()) << (c.format ? c.format : "(null)");
  EXPECT_EQ(verdict.message, c.message) << (c.format ? c.format : "(null)");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ItemFormat,
    ::testing::Values(
        // Native and little-endian forms of the declared items.
        FormatCase{"i", &int_item, ""}, FormatCase{"<i", &int_item, ""}, FormatCase{"@i", &int_item, ""},
        FormatCase{"=l", &int_item, ""},  // standard size of l is 4
        FormatCase{"d", &double_item, ""}, FormatCase{"Zd", &complex_item, ""}, FormatCase{"<Zd", &complex_item, ""},
        FormatCase{"O", &object_item, ""}, FormatCase{"1d", &double_item, ""},
        FormatCase{">d", &double_item, "Big-endian buffer not supported on little-endian compiler"},
        FormatCase{"!i", &int_item, "Big-endian buffer not supported on little-endian compiler"},
        // Every item description.
        FormatCase{"d", &complex_item, "Buffer dtype mismatch, expected 'double complex' but got 'double'"},
        FormatCase{"q", &int_item, "Buffer dtype mismatch, expected 'int' but got 'long long'"},
        FormatCase{"l", &int_item, "Buffer dtype mismatch, expected 'int' but got 'long'"},
        FormatCase{"h", &int_item, "Buffer dtype mismatch, expected 'int' but got 'short'"},
        FormatCase{"b", &int_item, "Buffer dtype mismatch, expected 'int' but got 'signed char'"},
        FormatCase{"I", &int_item, "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"},
        FormatCase{"L", &int_item, "Buffer dtype mismatch, expected 'int' but got 'unsigned long'"},
        FormatCase{"Q", &int_item, "Buffer dtype mismatch, expected 'int' but got 'unsigned long long'"},
        FormatCase{"H", &int_item, "Buffer dtype mismatch, expected 'int' but got 'unsigned short'"},
        FormatCase{"B", &int_item, "Buffer dtype mismatch, expected 'int' but got 'unsigned char'"},
        FormatCase{nullptr, &double_item, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"},
        FormatCase{"f", &double_item, "Buffer dtype mismatch, expected 'double' but got 'float'"},
        FormatCase{"g", &double_item, "Buffer dtype mismatch, expected 'double' but got 'long double'"},
        FormatCase{"Zf", &complex_item, "Buffer dtype mismatch, expected 'double complex' but got 'complex float'"},
        FormatCase{"Zg", &complex_item,
                   "Buffer dtype mismatch, expected 'double complex' but got 'complex long double'"},
        FormatCase{"Zd", &double_item, "Buffer dtype mismatch, expected 'double' but got 'complex double'"},
        FormatCase{"?", &int_item, "Buffer dtype mismatch, expected 'int' but got 'bool'"},
        FormatCase{"c", &int_item, "Buffer dtype mismatch, expected 'int' but got 'char'"},
        FormatCase{"O", &double_item, "Buffer dtype mismatch, expected 'double' but got Python object"},
        FormatCase{"P", &double_item, "Buffer dtype mismatch, expected 'double' but got a pointer"},
        FormatCase{"5s", &double_item, "Buffer dtype mismatch, expected 'double' but got a string"},
        FormatCase{"2T{i:a:}", &int_item, "Buffer dtype mismatch, expected 'int' but got a struct"},
        FormatCase{"", &double_item, "Buffer dtype mismatch, expected 'double' but got end"},
        FormatCase{"x", &double_item, "Buffer dtype mismatch, expected 'double' but got unparsable format string"},
        FormatCase{"d", &object_item, "Buffer dtype mismatch, expected 'CyFlexibleParameter' but got 'double'"},
        // More fields than one item.
        FormatCase{"2d", &double_item, "Buffer dtype mismatch, expected end but got 'double'"},
        FormatCase{"di", &double_item, "Buffer dtype mismatch, expected end but got 'int'"},
        // Structures: their fields are read in order, nested ones included.
        FormatCase{"T{i:a:}", &int_item, ""}, FormatCase{"T{T{Zd:re:}:a:}", &complex_item, ""},
        FormatCase{"T{i:a:4x}", &int_item, ""},  // the padding is left to the item size check
        FormatCase{"T{i:a:i:b:}", &int_item, "Buffer dtype mismatch, expected end but got 'int'"},
        FormatCase{"T{d:a:d:b:}", &double_item, "Buffer dtype mismatch, expected end but got 'double'"},
        FormatCase{"T{Zd:a:Zd:b:}", &complex_item, "Buffer dtype mismatch, expected end but got 'complex double'"},
        FormatCase{"T{T{i:x:i:y:}:a:}", &int_item, "Buffer dtype mismatch, expected end but got 'int'"},
        FormatCase{"T{(2)i:a:}", &int_item, "Buffer dtype mismatch, expected end but got 'int'"},
        FormatCase{"T{(1,1)i:a:}", &int_item, ""},
        FormatCase{"T{(99999999999,99999999999)i:a:}", &int_item, "Buffer dtype mismatch, expected end but got 'int'"},
        FormatCase{"T{(0)i:a:}", &int_item, "Buffer dtype mismatch, expected 'int' but got end"},
        FormatCase{"T{=d:a:@i:b:}", &double_item, "Buffer dtype mismatch, expected end but got 'int'"},
        FormatCase{"T{d:re:d:im:}", &complex_item, "Buffer dtype mismatch, expected 'double complex' but got 'double'"},
        FormatCase{"T{i:a:}d", &int_item, "Buffer dtype mismatch, expected end but got 'double'"},
        FormatCase{"T{:a:}", &int_item, "Buffer dtype mismatch, expected 'int' but got end"},
        FormatCase{"T{>i:a:@i:b:}", &int_item, "Big-endian buffer not supported on little-endian compiler"},
        FormatCase{"T{i:a:>i:b:}", &int_item, "Big-endian buffer not supported on little-endian compiler"},
        FormatCase{"T{(2,x}", &int_item, "Unexpected format string character: 'x'"},
        FormatCase{"T{i:a:w:b:}", &int_item, "Unexpected format string character: 'w'"},
        // Characters the parser does not know.
        FormatCase{"w", &double_item, "Unexpected format string character: 'w'"},
        FormatCase{"dj", &double_item, "Unexpected format string character: 'j'"}));

TEST(ItemSize, MessageCountsBytes) {
  EXPECT_EQ(cy::item_size_mismatch(8, int_item), "Item size of buffer (8 bytes) does not match size of 'int' (4 bytes)");
  EXPECT_EQ(cy::item_size_mismatch(1, double_item),
            "Item size of buffer (1 byte) does not match size of 'double' (8 bytes)");
}

TEST(VersionWarning, OnlyMajorAndMinorCount) {
  EXPECT_EQ(cy::version_mismatch_warning(3, 15, 3, 14),
            "compile time Python version 3.15 of module 'load_flow_engine.cy_engine' does not match runtime version "
            "3.14");
  EXPECT_EQ(cy::version_mismatch_warning(3, 15, 3, 16),
            "compile time Python version 3.15 of module 'load_flow_engine.cy_engine' does not match runtime version "
            "3.16");
  EXPECT_EQ(cy::version_mismatch_warning(3, 15, 4, 15),
            "compile time Python version 3.15 of module 'load_flow_engine.cy_engine' does not match runtime version "
            "4.15");
  EXPECT_EQ(cy::version_mismatch_warning(3, 15, 3, 15), "");
}

}  // namespace
