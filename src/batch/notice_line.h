// What the run reports, in English, one line each for standard error.
#pragma once

#include <stddef.h>

#include "zerofill/run_front.h"

void format_notice_line(char *line, size_t size, const run_notice &notice);
