// Console writer and message boxes.
#include "console/console.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console/cp932.h"
#include "console/escape.h"

HANDLE g_con_handle = 0;

static const char ESC = 0x1B;

const char *find_byte_cp932(const char *text, char wanted)
{
    const char *p = text;
    while (*p != '\0') {
        if (is_cp932_lead_byte(*p)) {
            if (p[1] == '\0')
                return NULL;
            p += 2;
            continue;
        }
        if (*p == wanted)
            return p;
        p++;
    }
    return NULL;
}

// Copies at most size - 1 bytes of text and terminates the copy.
static size_t copy_bounded(char *copy, size_t size, const char *text)
{
    size_t n = 0;
    while (n < size - 1 && text[n] != '\0') {
        copy[n] = text[n];
        n++;
    }
    copy[n] = '\0';
    return n;
}

// Writes the plain text from `text` up to the next ESC and returns where the
// next segment begins. A segment longer than the buffer goes out in pieces,
// each cut between characters.
static const char *write_plain_segment(const char *text, const char *copy, size_t copied)
{
    const char *next_esc = find_byte_cp932(text, ESC);
    size_t length = next_esc ? (size_t)(next_esc - text) : strlen(text);
    if (length > copied)
        length = cp932_fit(copy, copied);
    DWORD written = 0;
    sys::WriteConsoleA(g_con_handle, copy, (DWORD)length, &written, NULL);
    if (text[length] == '\0')
        return NULL;
    return text + length;
}

const char *con_write_segment(const char *text)
{
    if (g_con_handle == 0)
        g_con_handle = sys::GetStdHandle(STD_ERROR_HANDLE);

    char copy[TEXT_BUFFER_SIZE];
    size_t copied = copy_bounded(copy, sizeof copy, text);
    if (copy[0] == ESC)
        return run_escape_sequence(text, copy);
    return write_plain_segment(text, copy, copied);
}

void con_write(const char *text)
{
    if (text == NULL || text[0] == '\0')
        return;
    const char *p = text;
    while (p != NULL && *p != '\0')
        p = con_write_segment(p);
}

int con_puts(const char *text)
{
    con_write(text);
    con_write_segment("\n");
    return 0;
}

void con_printf(const char *format, ...)
{
    char buffer[TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (needed < 0)
        buffer[0] = '\0';

    // A longer text is written whole rather than cut.
    char *long_text = NULL;
    if (needed >= (int)sizeof buffer) {
        long_text = (char *)malloc((size_t)needed + 1);
        if (long_text != NULL)
            vsnprintf(long_text, (size_t)needed + 1, format, again);
    }
    va_end(again);

    con_write(long_text != NULL ? long_text : buffer);
    free(long_text);
}

int msgbox_printf(HWND owner, UINT type, const char *title, const char *format, ...)
{
    char buffer[TEXT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int needed = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (needed < 0)
        buffer[0] = '\0';
    else if (needed >= (int)sizeof buffer)
        buffer[cp932_fit(buffer, sizeof buffer - 1)] = '\0';
    return sys::MessageBoxA(owner, buffer, title, type);
}
