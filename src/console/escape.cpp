// Console escape sequences.
#include "console/escape.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "console/cp932.h"

static const WORD ATTRIBUTE_WHITE = 0x0F;
static const int CLEAR_ROWS = 24;
static const int CLEAR_COLUMNS = 80;

// Foreground on black, and background behind black text, per colour index.
static const WORD ATTRIBUTE_TABLE[8][2] = {
    {0x00, 0x00}, {0x0C, 0xC0}, {0x0A, 0xA0}, {0x0E, 0xE0},
    {0x09, 0x90}, {0x0D, 0xD0}, {0x0B, 0xB0}, {0x0F, 0xF0},
};

struct escape_sequence {
    char command;
    int32_t numbers[5];
    int param_count;
    int esc_d;
};

static void scan_numbers(const char *body, escape_sequence &seq)
{
    char chars[5] = {0, 0, 0, 0, 0};
    int32_t *n = seq.numbers;
    sscanf(body, "%d%c%d%c%d%c%d%c%d%c", &n[0], &chars[0], &n[1], &chars[1], &n[2],
           &chars[2], &n[3], &chars[3], &n[4], &chars[4]);
    for (int i = 0; i < 5; i++) {
        if (chars[i] == ';')
            continue;
        seq.command = chars[i];
        seq.param_count = i + 1;
        return;
    }
}

static escape_sequence parse_sequence(const char *copy)
{
    escape_sequence seq = {0, {0, 0, 0, 0, 0}, 0, 0};
    switch (copy[1]) {
    case '*':
    case 'M':
        seq.command = copy[1];
        break;
    case 'D':
        seq.command = 'D';
        seq.esc_d = 1;
        break;
    case '[':
        if (copy[2] == 'm')
            seq.command = 'm';
        else
            scan_numbers(copy + 2, seq);
        break;
    default:
        break;
    }
    return seq;
}

static void set_cursor(int16_t x, int16_t y)
{
    COORD position;
    position.X = x;
    position.Y = y;
    sys::SetConsoleCursorPosition(g_con_handle, position);
}

static int16_t not_below_zero(int16_t value)
{
    return value < 0 ? 0 : value;
}

static void clear_screen()
{
    static const char spaces[CLEAR_COLUMNS + 1] =
        "                                                                                ";
    set_cursor(0, 0);
    sys::SetConsoleTextAttribute(g_con_handle, ATTRIBUTE_WHITE);
    for (int row = 0; row < CLEAR_ROWS; row++) {
        DWORD written = 0;
        sys::WriteConsoleA(g_con_handle, spaces, CLEAR_COLUMNS, &written, NULL);
    }
    set_cursor(0, 0);
}

// Rows and columns counted from 1; 0 counts as 1. The column comes only
// from a number written before the command character.
static void move_absolute(const escape_sequence &seq)
{
    int16_t row = (int16_t)seq.numbers[0];
    int16_t column = seq.param_count >= 2 ? (int16_t)seq.numbers[1] : 0;
    set_cursor(not_below_zero((int16_t)(column - 1)), not_below_zero((int16_t)(row - 1)));
}

static void move_relative(const escape_sequence &seq)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!sys::GetConsoleScreenBufferInfo(g_con_handle, &info))
        return;
    int16_t x = info.dwCursorPosition.X;
    int16_t y = info.dwCursorPosition.Y;
    int16_t amount = (int16_t)seq.numbers[0];
    switch (seq.command) {
    case 'A':
        y = not_below_zero((int16_t)(y - amount));
        break;
    case 'B':
        y = (int16_t)(y + amount);
        break;
    case 'C':
        x = (int16_t)(x + amount);
        break;
    case 'D':
        if (seq.esc_d)
            y = (int16_t)(y + 1);
        else
            x = not_below_zero((int16_t)(x - amount));
        break;
    case 'M':
        y = not_below_zero((int16_t)(y - 1));
        break;
    default:
        return;
    }
    set_cursor(x, y);
}

void sgr_apply(int32_t code, int &bg_flag, int &color)
{
    if (code == 0) {
        bg_flag = 0;
        color = 7;
    } else if (code == 7) {
        bg_flag = 1;
    } else if (code == 8) {
        color = 0;
    } else if (code >= 30 && code <= 39) {
        color = code - 30;
    } else if (code >= 40 && code <= 47) {
        color = code - 40;
        bg_flag = 1;
    }
}

static void set_colour(const escape_sequence &seq)
{
    int color = 7;
    int bg_flag = 0;
    for (int i = 0; i < seq.param_count; i++)
        sgr_apply(seq.numbers[i], bg_flag, color);
    // 38 and 39 leave an index without a table row: plain white then.
    WORD attribute = ATTRIBUTE_WHITE;
    if (color >= 0 && color <= 7)
        attribute = ATTRIBUTE_TABLE[color][bg_flag ? 1 : 0];
    sys::SetConsoleTextAttribute(g_con_handle, attribute);
}

static void carry_out(const escape_sequence &seq)
{
    switch (seq.command) {
    case '*':
        clear_screen();
        break;
    case 'J':
        if (seq.numbers[0] == 2)
            clear_screen();
        break;
    case 'H':
    case 'f':
        move_absolute(seq);
        break;
    case 'A':
    case 'B':
    case 'C':
    case 'D':
    case 'M':
        move_relative(seq);
        break;
    case 'm':
        set_colour(seq);
        break;
    default:
        break;
    }
}

static bool is_sequence_body(char c)
{
    return isdigit((unsigned char)c) || isspace((unsigned char)c) || c == ';' || c == '+' ||
           c == '-';
}

// For a sequence without a usable command: skip the ESC and what was read
// as part of it, and never go past the terminator.
static const char *skip_unfinished(const char *text)
{
    const char *p = text + 1;
    if (*p == '\0')
        return p;
    if (*p != '[') {
        if (*p == 0x1B)
            return p;
        if (is_cp932_lead_byte(*p) && p[1] != '\0')
            return p + 2;
        return p + 1;
    }
    p++;
    while (*p != '\0' && is_sequence_body(*p))
        p++;
    return p;
}

const char *run_escape_sequence(const char *text, const char *copy)
{
    escape_sequence seq = parse_sequence(copy);
    carry_out(seq);
    if (seq.command == 0)
        return skip_unfinished(text);
    const char *found = find_byte_cp932(text, seq.command);
    if (found == NULL)
        return skip_unfinished(text);
    return found + 1;
}
