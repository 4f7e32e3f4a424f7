// The two text lines of the progress window that a run writes. Plain
// defines: the dialog template includes this too.
#pragma once

#define IDC_STATUS 101
#define IDC_PROGRESS 102
