// The unattended program's command line: what it accepts, and what it
// refuses before any drive is touched.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "batch/options.h"

namespace {

struct row {
    std::vector<std::string> arguments;
    bool accepted;
    const char *targets;  // letters, and #n for a disk, in order; * for --all
    int64_t reserve_bytes;
    int reserve_percent;
    DWORD time_limit_ms;
    const char *reason = "";  // part of a refusal's one line
};

const int64_t MIB = 1048576;

std::string targets_of(const batch_options &options)
{
    std::string text;
    if (options.all)
        text = "*";
    for (int i = 0; i < options.target_count; i++) {
        const batch_target &t = options.targets[i];
        text += (text.empty() ? "" : ",") +
                (t.is_disk ? "#" + std::to_string(t.disk) : std::string(1, t.letter));
    }
    return text;
}

}  // namespace

// Scenario: good and bad command lines, one per row.
// Expect: the targets, reserve and time limit of each good one; a one-line
//   reason for each bad one, in ASCII whatever the argument held.
TEST(BatchOptions, ParsesOrRefuses)
{
    const row rows[] = {
        {{"d:"}, true, "D", 10 * MIB, 0, 0},
        {{"c:", "D:", "c:"}, true, "C,D", 10 * MIB, 0, 0},
        {{"--disk", "1"}, true, "#1", 10 * MIB, 0, 0},
        {{"--disk=0", "e:"}, true, "#0,E", 10 * MIB, 0, 0},
        {{"--reserve", "20MiB", "d:"}, true, "D", 20 * MIB, 0, 0},
        {{"--reserve=1gib", "d:"}, true, "D", 1024 * MIB, 0, 0},
        {{"--reserve", "10240KiB", "d:"}, true, "D", 10 * MIB, 0, 0},
        {{"--reserve", "10485760", "d:"}, true, "D", 10 * MIB, 0, 0},
        {{"--reserve", "5%", "d:"}, true, "D", 0, 5, 0},
        {{"--time-limit", "90s", "d:"}, true, "D", 10 * MIB, 0, 90000},
        {{"--time-limit=30m", "d:"}, true, "D", 10 * MIB, 0, 1800000},
        {{"--time-limit", "2h", "d:"}, true, "D", 10 * MIB, 0, 7200000},
        {{"--time-limit", "45", "d:"}, true, "D", 10 * MIB, 0, 45000},
        {{"--time-limit", "596h", "d:"}, true, "D", 10 * MIB, 0, 2145600000u},
        {{"--all", "--reserve=5%"}, true, "*", 0, 5, 0},
        {{"--reserve", "9223372036854775807", "d:"}, true, "D", INT64_MAX, 0, 0},
        {{"--reserve", "8589934591GiB", "d:"}, true, "D", 8589934591LL * 1024 * MIB, 0, 0},
        // Sizes past 64 bits, which would wrap to a small reserve.
        {{"--reserve", "17592186044432MiB", "d:"}, false, "", 0, 0, 0, "--reserve wants"},
        {{"--reserve", "17179869185GiB", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "8589934592GiB", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "9223372036854775808", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "18446744073709551621%", "d:"}, false, "", 0, 0, 0},
        {{"--time-limit", "9223372036854775807h", "d:"}, false, "", 0, 0, 0},
        // Below the least reserve, or no size at all.
        {{"--reserve", "10485759", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "512KiB", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "0%", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "100%", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "5.5%", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "20MB", "d:"}, false, "", 0, 0, 0},
        {{"--reserve", "-20MiB", "d:"}, false, "", 0, 0, 0},
        {{"d:", "--reserve"}, false, "", 0, 0, 0},
        {{"--time-limit", "0", "d:"}, false, "", 0, 0, 0},
        {{"--time-limit", "1.5h", "d:"}, false, "", 0, 0, 0},
        {{"--time-limit", "90x", "d:"}, false, "", 0, 0, 0},
        {{"--time-limit", "597h", "d:"}, false, "", 0, 0, 0},
        {{"--time-limit", "99999999999999999999", "d:"}, false, "", 0, 0, 0},
        // Targets that a typo could turn into another disk.
        {{}, false, "", 0, 0, 0},
        {{"--quiet"}, false, "", 0, 0, 0},
        {{"--disk"}, false, "", 0, 0, 0},
        {{"--disk", "x"}, false, "", 0, 0, 0},
        {{"--disk", "1a"}, false, "", 0, 0, 0},
        {{"--disk", "-1"}, false, "", 0, 0, 0},
        {{"1:"}, false, "", 0, 0, 0},
        {{"d"}, false, "", 0, 0, 0},
        {{"dd:"}, false, "", 0, 0, 0},
        {{"d:\\"}, false, "", 0, 0, 0},
        {{"--frobnicate", "d:"}, false, "", 0, 0, 0},
        {{"-q", "d:"}, false, "", 0, 0, 0},
        {{"--all", "d:"}, false, "", 0, 0, 0, "--all fills every fixed drive"},
        {{"--all=1"}, false, "", 0, 0, 0, "unknown option '--all=1'"},
        {{"\xEF\xBD\x98\xEF\xBC\x9A"}, false, "", 0, 0, 0,
         "'\\xEF\\xBD\\x98\\xEF\\xBC\\x9A' is neither a drive"},
        {{"--disk", "0\x01"}, false, "", 0, 0, 0, "not '0\\x01'"},
    };
    for (const row &r : rows) {
        std::vector<std::string> arguments = r.arguments;
        arguments.insert(arguments.begin(), "voidfill-batch");
        std::string shown;
        std::vector<char *> argv;
        for (std::string &a : arguments) {
            argv.push_back(&a[0]);
            shown += a + " ";
        }
        SCOPED_TRACE(shown);
        batch_options options;
        char error[USAGE_TEXT_SIZE];
        ASSERT_EQ(parse_batch_options((int)argv.size(), argv.data(), options, error, sizeof error),
                  r.accepted);
        if (!r.accepted) {
            EXPECT_NE(error[0], '\0');
            EXPECT_NE(strstr(error, r.reason), nullptr) << error;
            for (const char *c = error; *c != '\0'; c++)
                EXPECT_TRUE(*c >= 0x20 && *c < 0x7F) << error;
            continue;
        }
        EXPECT_EQ(targets_of(options), r.targets);
        EXPECT_EQ(options.reserve_bytes, r.reserve_bytes);
        EXPECT_EQ(options.reserve_percent, r.reserve_percent);
        EXPECT_EQ(options.time_limit_ms, r.time_limit_ms);
    }
}
