// Blocks that follow the volume's pace.
#include "zerofill/block_pace.h"

enum { SMALLEST_BLOCK = 65536 };

static const DWORD SLOW_BLOCK_MS = 1000;
static const DWORD QUICK_BLOCK_MS = 250;

block_pace start_block_pace(bool follows, int64_t largest)
{
    return block_pace{follows, largest, follows ? (int64_t)SMALLEST_BLOCK : largest, 0};
}

void begin_block(block_pace &pace)
{
    if (pace.follows)
        pace.started = sys::GetTickCount();
}

void end_block(block_pace &pace)
{
    if (!pace.follows)
        return;
    DWORD took_ms = sys::GetTickCount() - pace.started;
    if (took_ms > SLOW_BLOCK_MS && pace.size > SMALLEST_BLOCK)
        pace.size /= 2;
    else if (took_ms < QUICK_BLOCK_MS && pace.size < pace.largest)
        pace.size *= 2;
}
