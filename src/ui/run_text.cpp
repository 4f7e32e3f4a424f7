// The lines a run shows in the progress window.
#include "ui/run_text.h"

#include <stdio.h>

#include <atomic>

#include "volume/format.h"
#include "ui/dialog_ids.h"
#include "zerofill/run_state.h"

enum { STATUS_LINE, PROGRESS_LINE, LINE_COUNT, TEXT_BITS = 4 };

// The latest text of each line, its number and figure packed in one word,
// and whether a message for the line is on its way to the window. A window
// slower than the writer shows the latest text when it gets to it and
// skips those in between: it is never asked to draw more than it can.
static std::atomic<int64_t> g_latest[LINE_COUNT];
static std::atomic<int32_t> g_on_the_way[LINE_COUNT];

// Even a window that keeps up costs the writer a tenth of its speed on a
// fast disk when it redraws the remaining megabytes for every block; ten
// figures a second are as many as anyone reads. Only the worker touches
// these.
enum { REMAINING_INTERVAL_MS = 100 };
static bool g_remaining_shown;
static DWORD g_remaining_shown_at;

// IDC_STATUS or IDC_PROGRESS; 0 for a number that names no text.
static int run_text_line(int text)
{
    if (text == TEXT_WRITING_DRIVE)
        return IDC_STATUS;
    return text > TEXT_WRITING_DRIVE && text < RUN_TEXT_COUNT ? IDC_PROGRESS : 0;
}

static void format_run_text(char *buffer, size_t size, int text, int64_t number)
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

void reset_run_texts()
{
    for (int line = 0; line < LINE_COUNT; line++)
        g_on_the_way[line] = 0;
    g_remaining_shown = false;
}

// The first figure of a run always; later ones once the interval is over.
static bool remaining_due()
{
    DWORD now = sys::GetTickCount();
    if (g_remaining_shown && now - g_remaining_shown_at < REMAINING_INTERVAL_MS)
        return false;
    g_remaining_shown = true;
    g_remaining_shown_at = now;
    return true;
}

void show_run_text(int text, int64_t number)
{
    if (text == TEXT_REMAINING && !remaining_due())
        return;
    int line = text == TEXT_WRITING_DRIVE ? STATUS_LINE : PROGRESS_LINE;
    g_latest[line] = number * (1 << TEXT_BITS) + text;
    if (g_on_the_way[line].exchange(1) != 0)
        return;
    // A message the system cannot take (its queue is full) leaves the text
    // to the next one.
    if (!sys::PostMessageA(g_hDlg, WM_RUN_TEXT, (WPARAM)line, 0))
        g_on_the_way[line] = 0;
}

int take_run_text(WPARAM line, char *buffer, size_t size)
{
    if (line >= LINE_COUNT)
        return 0;
    // Cleared first: a text stored from here on sends a message of its own.
    g_on_the_way[line] = 0;
    int64_t latest = g_latest[line];
    int text = (int)(latest % (1 << TEXT_BITS));
    format_run_text(buffer, size, text, latest / (1 << TEXT_BITS));
    return run_text_line(text);
}
