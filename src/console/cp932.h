// Character boundaries in code page 932 (Shift-JIS) byte strings.
#pragma once

#include <stddef.h>

// A lead byte starts a two-byte character.
inline bool is_cp932_lead_byte(char c)
{
    unsigned char b = (unsigned char)c;
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// The longest prefix of the first `limit` bytes of `text` that does not end
// inside a two-byte character. The text goes on past `limit` (callers cut a
// longer text there), so a lead byte in the last place starts a character
// that does not fit; only a terminator before `limit` ends the text.
inline size_t cp932_fit(const char *text, size_t limit)
{
    size_t i = 0;
    while (i < limit && text[i] != '\0') {
        size_t step = 1;
        if (is_cp932_lead_byte(text[i]) && (i + 1 == limit || text[i + 1] != '\0'))
            step = 2;
        if (i + step > limit)
            break;
        i += step;
    }
    return i;
}
