// How large the next block of a fill is. Where the blocks follow the
// volume's pace (voidfill-batch), a stop never waits long for the block in
// flight, which the system may not be able to cancel: a block slower than a
// second halves the next one, down to 64 KiB, and one quicker than a
// quarter of a second doubles it, up to the largest; elsewhere every block
// is the largest.
#pragma once

#include <stdint.h>

#include "platform/os.h"

struct block_pace {
    bool follows;
    int64_t largest;
    int64_t size;   // of the next block
    DWORD started;  // GetTickCount as the block in flight began
};

block_pace start_block_pace(bool follows, int64_t largest);
// Around each block.
void begin_block(block_pace &pace);
void end_block(block_pace &pace);
