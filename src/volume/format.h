// Byte counts as grouped decimal text: 80,023,715,840.
#pragma once

#include <stdint.h>

// Room for the longest result, -9,223,372,036,854,775,808, and its terminator.
enum { FORMATTED_BYTES_SIZE = 27 };

char *format_bytes(char *buffer, int64_t value);
char *group_thousands(char *dst, const char *src, int sign);
