// Byte counts as grouped decimal text.
#include <stdint.h>
#include <string.h>

#include <gtest/gtest.h>

#include "volume/format.h"

// Scenario: format_bytes on zero, on counts just below and above a group
//   boundary, on -1 (a failed query) and on the extremes of 64 bits.
// Expect: ',' between groups of three digits, none in front, the sign kept.
TEST(FormatBytes, GroupsEveryValueOfTheTable)
{
    struct {
        int64_t value;
        const char *text;
    } cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {1234, "1,234"},
        {123456, "123,456"},
        {10485760, "10,485,760"},
        {80023715840, "80,023,715,840"},
        {-1, "-1"},
        {-123, "-123"},
        {-1234, "-1,234"},
        {-123456, "-123,456"},
        {-1234567, "-1,234,567"},
        {INT64_MAX, "9,223,372,036,854,775,807"},
        {INT64_MIN, "-9,223,372,036,854,775,808"},
    };
    for (const auto &c : cases) {
        char buffer[FORMATTED_BYTES_SIZE];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(format_bytes(buffer, c.value), buffer);
        EXPECT_STREQ(buffer, c.text) << "value " << c.value;
    }
}

// Scenario: group_thousands on plain and signed digit texts, into a buffer
//   exactly as long as the result and its terminator.
// Expect: the grouped text; nothing written past the terminator.
TEST(FormatBytes, GroupThousandsFitsItsResultExactly)
{
    struct {
        const char *src;
        int sign;
        const char *text;
    } cases[] = {
        {"1234", 1, "1,234"},
        {"-1234", -1, "-1,234"},
        {"123", 1, "123"},
        {"-1", -1, "-1"},
        {"-123456", -1, "-123,456"},
        {"7", 1, "7"},
    };
    for (const auto &c : cases) {
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        size_t length = strlen(c.text);
        EXPECT_EQ(group_thousands(buffer, c.src, c.sign), buffer);
        EXPECT_STREQ(buffer, c.text) << c.src;
        EXPECT_EQ(buffer[length + 1], 'x') << c.src;
    }
}
