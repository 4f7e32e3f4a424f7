// Identifiers of the progress window's controls, shared with its template.
#pragma once

#define IDC_STATUS 101
#define IDC_PROGRESS 102
#define IDC_ABORT 301
