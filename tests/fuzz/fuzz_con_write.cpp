// Arbitrary bytes through con_write on the test double. Besides the
// sanitizers, each run checks that every write is at most one buffer long,
// carries only bytes of the text, in order, and ends between characters.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "fake_win32/fake_console.h"

namespace {

const size_t CLEAR_CALLS = 27;  // cursor, attribute, 24 rows of blanks, cursor

bool is_lead_byte(char c)
{
    unsigned char b = (unsigned char)c;
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Whether the piece ends on the first byte of a two-byte character. Only
// the text's own last byte may be such a lone lead byte.
bool ends_inside_character(const std::string &piece)
{
    size_t i = 0;
    while (i + 1 < piece.size())
        i += is_lead_byte(piece[i]) ? 2 : 1;
    return i + 1 == piece.size() && is_lead_byte(piece[i]);
}

bool is_home(const fake::ConsoleCall &call)
{
    return call.op == fake::ConsoleOp::set_cursor && call.cursor.X == 0 && call.cursor.Y == 0;
}

// The calls of one screen clear, which write blanks that are not in the text.
bool is_clear(const std::vector<fake::ConsoleCall> &calls, size_t i)
{
    if (i + CLEAR_CALLS > calls.size() || !is_home(calls[i]) || !is_home(calls[i + 26]))
        return false;
    if (calls[i + 1].op != fake::ConsoleOp::set_attribute || calls[i + 1].attribute != 0x0F)
        return false;
    for (size_t row = 2; row < 26; row++)
        if (calls[i + row].op != fake::ConsoleOp::write ||
            calls[i + row].bytes != std::string(80, ' '))
            return false;
    return true;
}

void check_writes(const std::string &text)
{
    std::vector<fake::ConsoleCall> calls = fake::console_calls();
    size_t from = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        if (is_clear(calls, i)) {
            i += CLEAR_CALLS - 1;
            continue;
        }
        if (calls[i].op != fake::ConsoleOp::write)
            continue;
        const std::string &bytes = calls[i].bytes;
        if (bytes.empty() || bytes.size() > TEXT_BUFFER_SIZE - 1)
            abort();
        size_t found = text.find(bytes, from);
        if (found == std::string::npos)
            abort();
        from = found + bytes.size();
        bool ends_text = text.size() >= bytes.size() &&
                         text.compare(text.size() - bytes.size(), bytes.size(), bytes) == 0;
        if (ends_inside_character(bytes) && !ends_text)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The text ends at the first NUL; the copy is exactly that long, so the
    // address sanitizer reports any read past its terminator.
    size_t length = strnlen((const char *)data, size);
    char *text = (char *)malloc(length + 1);
    memcpy(text, data, length);
    text[length] = '\0';

    fake::reset_console();
    g_con_handle = 0;
    // From the middle of the screen every move has room both ways.
    fake::place_cursor(40, 12);
    con_write(text);
    check_writes(std::string(text, length));

    free(text);
    return 0;
}
