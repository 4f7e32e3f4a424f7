// Identifiers of the progress window's controls, shared with its template.
// Plain defines: the template includes this too.
#pragma once

// The two text lines that a run writes.
#define IDC_STATUS 101
#define IDC_PROGRESS 102
#define IDC_ABORT 301
