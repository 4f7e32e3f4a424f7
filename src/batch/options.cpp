// Command-line parsing of the unattended program.
#include "batch/options.h"

#include <stdio.h>
#include <string.h>

#include "batch/output.h"
#include "volume/volume.h"
#include "zerofill/zero_fill.h"

static const int64_t LARGEST_INT64 = INT64_MAX;
static const int64_t LONGEST_MS = ((int64_t)1 << 31) - 1;

// The leading decimal digits of `text`; `rest` points past them. False
// without any digit or for a number past 64 bits.
static bool leading_number(const char *text, int64_t &value, const char *&rest)
{
    value = 0;
    rest = text;
    while (*rest >= '0' && *rest <= '9') {
        int digit = *rest - '0';
        if (value > (LARGEST_INT64 - digit) / 10)
            return false;
        value = value * 10 + digit;
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
        percent = value < 100 ? (int)value : 0;
        return value > 0 && value < 100;
    }
    for (const auto &unit : units)
        if (ascii_equal_ignoring_case(rest, unit.suffix)) {
            if (value > LARGEST_INT64 / unit.unit)
                return false;
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
            if (value <= 0 || value > LONGEST_MS / unit.unit_ms)
                return false;
            milliseconds = (DWORD)(value * unit.unit_ms);
            return true;
        }
    return false;
}

static bool fail(char *error, size_t size, const char *format, const char *what)
{
    char shown[USAGE_TEXT_SIZE];
    escape_text(shown, sizeof shown, what);
    snprintf(error, size, format, shown);
    return false;
}

static bool add_target(batch_options &options, const batch_target &target, char *error,
                       size_t size)
{
    for (int i = 0; i < options.target_count; i++) {
        const batch_target &known = options.targets[i];
        if (known.is_disk == target.is_disk && known.letter == target.letter &&
            known.disk == target.disk)
            return true;  // named twice, filled once
    }
    if (options.target_count == MOST_TARGETS)
        return fail(error, size, "more than %s drives and disks given", "32");
    options.targets[options.target_count++] = target;
    return true;
}

static bool take_reserve(batch_options &options, const char *value, char *error, size_t size)
{
    if (!parse_reserve(value, options.reserve_bytes, options.reserve_percent))
        return fail(error, size,
                    "--reserve wants a size such as 20MiB or 5%% (at most 8 EiB), not '%s'",
                    value);
    if (options.reserve_percent == 0 && options.reserve_bytes < RESERVE_BYTES)
        return fail(error, size,
                    "--reserve %s is below the least that stays free, 10485760 bytes (10MiB)",
                    value);
    return true;
}

static bool take_time_limit(batch_options &options, const char *value, char *error, size_t size)
{
    if (!parse_duration(value, options.time_limit_ms))
        return fail(error, size, "--time-limit wants a duration such as 90s, 30m or 2h, not '%s'",
                    value);
    return true;
}

static bool take_disk(batch_options &options, const char *value, char *error, size_t size)
{
    int64_t number;
    const char *rest;
    if (!leading_number(value, number, rest) || *rest != '\0' || number > 999)
        return fail(error, size, "--disk wants the number of a physical disk, not '%s'", value);
    return add_target(options, batch_target{true, 0, (int)number}, error, size);
}

// One row per option: a switch sets its flag, an option with a value hands
// it to its function ("--name value" or "--name=value").
struct option_row {
    const char *name;
    bool batch_options::*flag;
    bool (*take)(batch_options &options, const char *value, char *error, size_t size);
};

static const option_row OPTIONS[] = {
    {"--help", &batch_options::help, NULL},
    {"-h", &batch_options::help, NULL},
    {"/?", &batch_options::help, NULL},
    {"--quiet", &batch_options::quiet, NULL},
    {"--all", &batch_options::all, NULL},
    {"--write-all", &batch_options::write_all, NULL},
    {"--check", &batch_options::check_only, NULL},
    {"--reserve", NULL, take_reserve},
    {"--time-limit", NULL, take_time_limit},
    {"--disk", NULL, take_disk},
};

static bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool parse_one(int argc, char **argv, int &i, batch_options &options, char *error,
                      size_t size)
{
    const char *argument = argv[i];
    for (const option_row &row : OPTIONS) {
        size_t length = strlen(row.name);
        if (strncmp(argument, row.name, length) != 0)
            continue;
        if (row.flag != NULL && argument[length] == '\0') {
            options.*row.flag = true;
            return true;
        }
        if (row.take == NULL || (argument[length] != '\0' && argument[length] != '='))
            continue;
        const char *value = argument[length] == '=' ? argument + length + 1
                            : i + 1 < argc          ? argv[++i]
                                                    : NULL;
        if (value == NULL)
            return fail(error, size, "%s wants a value", row.name);
        return row.take(options, value, error, size);
    }
    if (is_ascii_letter(argument[0]) && argument[1] == ':' && argument[2] == '\0') {
        char letter = (char)(argument[0] & ~0x20);
        return add_target(options, batch_target{false, letter, 0}, error, size);
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
    if (options.all && options.target_count > 0)
        return fail(error, error_size, "%s", "--all fills every fixed drive: name no drive or disk beside it");
    if (!options.all && options.target_count == 0)
        return fail(error, error_size, "%s",
                    "no drive given: name one such as d:, or --disk N, or --all");
    if (options.write_all && options.check_only)
        return fail(error, error_size, "%s", "--check writes nothing: it goes without --write-all");
    return true;
}
