// What the run reports, in English, one line each for standard error.
#pragma once

#include <stddef.h>

#include "zerofill/run_front.h"

void format_notice_line(char *line, size_t size, const run_notice &notice);

// How the run fills the drive, and why it writes every block where it does;
// `checking`: how it looks, or why it cannot.
void format_way_line(char *line, size_t size, const run_progress &way, bool checking);
