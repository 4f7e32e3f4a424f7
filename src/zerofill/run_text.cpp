// The lines a run shows in the progress window.
#include "zerofill/run_text.h"

#include <stdio.h>

#include "volume/format.h"
#include "zerofill/progress_lines.h"
#include "zerofill/run_state.h"

int run_text_line(int text)
{
    if (text == TEXT_WRITING_DRIVE)
        return IDC_STATUS;
    return text > TEXT_WRITING_DRIVE && text < RUN_TEXT_COUNT ? IDC_PROGRESS : 0;
}

void format_run_text(char *buffer, size_t size, int text, int64_t number)
{
    char grouped[FORMATTED_BYTES_SIZE];
    format_bytes(grouped, number);
    switch (text) {
    case TEXT_WRITING_DRIVE:
        snprintf(buffer, size, "%c: ドライブにゼロを書込中", (char)number);
        break;
    case TEXT_REMAINING:
        snprintf(buffer, size, "残り %s (MB)", grouped);
        break;
    case TEXT_REMAINING_SWITCHING:
        snprintf(buffer, size, "残り %s (MB,バッファ書込中)", grouped);
        break;
    case TEXT_FLUSHING:
        snprintf(buffer, size, "バッファ書込中。お待ち下さい。");
        break;
    case TEXT_WRITE_FALSE:
        snprintf(buffer, size, "バッファ書込中。(Write False)");
        break;
    case TEXT_DELETING:
        snprintf(buffer, size, "ファイル削除中。お待ち下さい。");
        break;
    case TEXT_RECORDS:
        snprintf(buffer, size, "MFT空きレコード書込中 %s (個)", grouped);
        break;
    default:
        snprintf(buffer, size, "%s", "");
        break;
    }
}

void show_run_text(int text, int64_t number)
{
    // A text that cannot be posted (the queue is full) is only a lost frame:
    // the next one shows the run's state again.
    sys::PostMessageA(g_hDlg, WM_RUN_TEXT, (WPARAM)text, (LPARAM)number);
}
