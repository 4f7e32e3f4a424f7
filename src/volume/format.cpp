// Byte-count formatting.
#include "volume/format.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

char *format_bytes(char *buffer, int64_t value)
{
    char scratch[64];
    snprintf(scratch, sizeof scratch, "%" PRId64, value);
    return group_thousands(buffer, scratch, value < 0 ? -1 : 1);
}

char *group_thousands(char *dst, const char *src, int sign)
{
    size_t len = strlen(src);
    size_t i = 0;
    size_t out = 0;
    if (sign < 0) {
        dst[out++] = src[i++];
    }
    for (; i < len; i++) {
        dst[out++] = src[i];
        if ((len - i - 1) % 3 == 0)
            dst[out++] = ',';
    }
    // Over the separator that always follows the last digit.
    if (out == 0)
        out = 1;
    dst[out - 1] = '\0';
    return dst;
}
