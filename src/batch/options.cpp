// Command-line parsing of the unattended program.
#include "batch/options.h"

#include <stdio.h>
#include <string.h>

#include "volume/volume.h"
#include "zerofill/zero_fill.h"

// Sizes and durations far beyond any volume or wait; keeps the arithmetic
// below from overflowing.
static const int64_t LARGEST_NUMBER = (int64_t)1 << 50;
static const int64_t LONGEST_MS = ((int64_t)1 << 31) - 1;

// The leading decimal digits of `text`; `rest` points past them. False
// without any digit or for a number too large to mean anything here.
static bool leading_number(const char *text, int64_t &value, const char *&rest)
{
    value = 0;
    rest = text;
    while (*rest >= '0' && *rest <= '9') {
        value = value * 10 + (*rest - '0');
        if (value > LARGEST_NUMBER)
            return false;
        rest++;
    }
    return rest != text;
}

bool parse_reserve(const char *text, int64_t &bytes, int &percent)
{
    static const struct {
        const char *suffix;
        int64_t unit;
    } units[] = {{"", 1}, {"KiB", 1024}, {"MiB", 1048576}, {"GiB", 1073741824}};
    bytes = 0;
    percent = 0;
    int64_t value;
    const char *rest;
    if (!leading_number(text, value, rest))
        return false;
    if (strcmp(rest, "%") == 0) {
        // All of the volume, or none of it, leaves nothing to decide.
        percent = (int)value;
        return value > 0 && value < 100;
    }
    for (const auto &unit : units)
        if (ascii_equal_ignoring_case(rest, unit.suffix)) {
            bytes = value * unit.unit;
            return true;
        }
    return false;
}

bool parse_duration(const char *text, DWORD &milliseconds)
{
    static const struct {
        const char *suffix;
        int64_t unit_ms;
    } units[] = {{"", 1000}, {"s", 1000}, {"m", 60000}, {"h", 3600000}};
    milliseconds = 0;
    int64_t value;
    const char *rest;
    if (!leading_number(text, value, rest))
        return false;
    for (const auto &unit : units)
        if (strcmp(rest, unit.suffix) == 0) {
            int64_t ms = value * unit.unit_ms;
            if (ms <= 0 || ms > LONGEST_MS)
                return false;
            milliseconds = (DWORD)ms;
            return true;
        }
    return false;
}

static bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool add_target(batch_options &options, const batch_target &target)
{
    for (int i = 0; i < options.target_count; i++) {
        const batch_target &known = options.targets[i];
        if (known.is_disk == target.is_disk && known.letter == target.letter &&
            known.disk == target.disk)
            return true;  // named twice, filled once
    }
    if (options.target_count == MOST_TARGETS)
        return false;
    options.targets[options.target_count++] = target;
    return true;
}

// "--name=value" or "--name value": the value, or null when it is missing.
static const char *option_value(const char *argument, const char *name, int argc, char **argv,
                                int &i)
{
    size_t length = strlen(name);
    if (argument[length] == '=')
        return argument + length + 1;
    return i + 1 < argc ? argv[++i] : NULL;
}

static bool option_named(const char *argument, const char *name)
{
    size_t length = strlen(name);
    return strncmp(argument, name, length) == 0 &&
           (argument[length] == '\0' || argument[length] == '=');
}

static bool fail(char *error, size_t size, const char *format, const char *what)
{
    snprintf(error, size, format, what);
    return false;
}

static bool parse_one(int argc, char **argv, int &i, batch_options &options, char *error,
                      size_t size)
{
    const char *argument = argv[i];
    if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0 ||
        strcmp(argument, "/?") == 0) {
        options.help = true;
        return true;
    }
    if (strcmp(argument, "--quiet") == 0) {
        options.quiet = true;
        return true;
    }
    if (strcmp(argument, "--write-all") == 0) {
        options.write_all = true;
        return true;
    }
    if (strcmp(argument, "--check") == 0) {
        options.check_only = true;
        return true;
    }
    if (option_named(argument, "--reserve")) {
        const char *value = option_value(argument, "--reserve", argc, argv, i);
        if (value == NULL || !parse_reserve(value, options.reserve_bytes, options.reserve_percent))
            return fail(error, size, "--reserve wants a size such as 20MiB or 5%%, not '%s'",
                        value ? value : "");
        if (options.reserve_percent == 0 && options.reserve_bytes < RESERVE_BYTES)
            return fail(error, size,
                        "--reserve %s is below the least that stays free, 10485760 bytes (10MiB)",
                        value);
        return true;
    }
    if (option_named(argument, "--time-limit")) {
        const char *value = option_value(argument, "--time-limit", argc, argv, i);
        if (value == NULL || !parse_duration(value, options.time_limit_ms))
            return fail(error, size, "--time-limit wants a duration such as 90s, 30m or 2h, not '%s'",
                        value ? value : "");
        return true;
    }
    if (option_named(argument, "--disk")) {
        const char *value = option_value(argument, "--disk", argc, argv, i);
        int64_t number;
        const char *rest;
        if (value == NULL || !leading_number(value, number, rest) || *rest != '\0' ||
            number > 999)
            return fail(error, size, "--disk wants the number of a physical disk, not '%s'",
                        value ? value : "");
        if (!add_target(options, batch_target{true, 0, (int)number}))
            return fail(error, size, "more than %s drives and disks given", "32");
        return true;
    }
    if (is_ascii_letter(argument[0]) && argument[1] == ':' && argument[2] == '\0') {
        char letter = (char)(argument[0] & ~0x20);
        if (!add_target(options, batch_target{false, letter, 0}))
            return fail(error, size, "more than %s drives and disks given", "32");
        return true;
    }
    if (argument[0] == '-')
        return fail(error, size, "unknown option '%s'", argument);
    return fail(error, size, "'%s' is neither a drive such as d: nor an option", argument);
}

bool parse_batch_options(int argc, char **argv, batch_options &options, char *error,
                         size_t error_size)
{
    options = batch_options{};
    options.reserve_bytes = RESERVE_BYTES;
    error[0] = '\0';
    for (int i = 1; i < argc; i++)
        if (!parse_one(argc, argv, i, options, error, error_size))
            return false;
    if (options.help)
        return true;
    if (options.target_count == 0)
        return fail(error, error_size, "%s", "no drive given: name one such as d:, or --disk N");
    if (options.write_all && options.check_only)
        return fail(error, error_size, "%s", "--check writes nothing: it goes without --write-all");
    return true;
}
