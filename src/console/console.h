// Console writer and printf-style message boxes. Text goes to the standard
// error console with WriteConsoleA, cut at each ESC into plain segments and
// escape sequences.
#pragma once

#include "platform/os.h"

enum { TEXT_BUFFER_SIZE = 2048 };

extern HANDLE g_con_handle;

void con_write(const char *text);
const char *con_write_segment(const char *text);
int con_puts(const char *text);
void con_printf(const char *format, ...) PRINTF_LIKE(1, 2);
int msgbox_printf(HWND owner, UINT type, const char *title, const char *format, ...) PRINTF_LIKE(4, 5);

// First occurrence of `wanted` at or after `text`, stepping over the
// two-byte characters of code page 932; null when there is none.
const char *find_byte_cp932(const char *text, char wanted);
