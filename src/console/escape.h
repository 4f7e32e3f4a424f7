// Console escape sequences: clear screen, cursor moves and colours embedded
// in text written through the console writer.
#pragma once

#include <stdint.h>

// Acts on the sequence that starts with the ESC at `text`; `copy` holds the
// text from there on, cut to the writer's buffer. Returns where writing
// goes on: a position inside `text`, at most its terminator.
const char *run_escape_sequence(const char *text, const char *copy);

// Applies one number of a colour sequence to the colour state.
void sgr_apply(int32_t code, int &bg_flag, int &color);
