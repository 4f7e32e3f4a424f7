// Progress dialog and worker thread.
#include "ui/progress_dialog.h"

#include "console/banner.h"
#include "console/console.h"
#include "zerofill/interrupt.h"
#include "ui/run_text.h"
#include "zerofill/zero_fill.h"

static const char TEMPLATE_NAME[] = "VF1";

int32_t run_progress_dialog(char letter)
{
    g_drive_letter = (unsigned char)letter;
    if (!begin_run())
        return g_result;
    sys::DialogBoxParamA(NULL, TEMPLATE_NAME, NULL, progress_dialog_proc, 0);
    end_run();
    return g_result;
}

// Without a worker nothing would ever end the window.
static void end_without_worker(HWND dialog)
{
    g_running = 0;
    msgbox_printf(dialog, MB_OK, BANNER, "ゼロクリヤ処理を開始できませんでした。");
    g_result = RUN_FAILED;
    sys::EndDialog(dialog, RUN_FAILED);
}

static INT_PTR on_init_dialog(HWND dialog)
{
    g_hDlg = dialog;
    sys::SendMessageA(dialog, WM_SETTEXT, 0, (LPARAM)BANNER);
    sys::SetDlgItemTextA(dialog, IDC_STATUS, "ゼロクリヤ処理中。");
    sys::SetDlgItemTextA(dialog, IDC_PROGRESS, "お待ちください。");
    sys::SetDlgItemTextA(dialog, IDC_ABORT, "キャンセル");
    // Raised here, not by the worker, so that a Cancel handled from now on
    // always stops the run.
    g_running = 1;
    if (stop_requested())
        g_running = 0;
    if (sys::_beginthread(worker_thread, WORKER_STACK_SIZE, NULL) == (uintptr_t)-1)
        end_without_worker(dialog);
    return TRUE;
}

static INT_PTR on_command(HWND dialog, WORD id)
{
    if (id != IDCANCEL && id != IDC_ABORT)
        return FALSE;
    sys::SetDlgItemTextA(dialog, IDC_STATUS, "終了処理中。");
    sys::SetDlgItemTextA(dialog, IDC_PROGRESS, "お待ちください。");
    g_running = 0;
    return TRUE;
}

// The worker's texts are set here, on the window's own thread.
static INT_PTR on_run_text(HWND dialog, WPARAM line)
{
    char shown[TEXT_BUFFER_SIZE];
    int control = take_run_text(line, shown, sizeof shown);
    if (control == 0)
        return FALSE;
    sys::SetDlgItemTextA(dialog, control, shown);
    return TRUE;
}

INT_PTR CALLBACK progress_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        return on_init_dialog(dialog);
    case WM_COMMAND:
        return on_command(dialog, LOWORD(wparam));
    case WM_RUN_TEXT:
        return on_run_text(dialog, wparam);
    default:
        return FALSE;
    }
}

void worker_thread(void *argument)
{
    (void)argument;
    int32_t result = zero_fill_drive((char)g_drive_letter.load());
    g_result = result;
    g_running = 0;
    sys::EndDialog(g_hDlg, result);
    sys::_endthread();
}
