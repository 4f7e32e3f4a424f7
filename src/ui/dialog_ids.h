// Identifiers of the progress window's controls, shared with its template.
#pragma once

#include "zerofill/progress_lines.h"

#define IDC_ABORT 301
