// What a run tells the user of the progress window: its two text lines, and
// message boxes owned by the window, which the run waits for.
#include <stdio.h>

#include "console/banner.h"
#include "console/console.h"
#include "ui/run_text.h"
#include "zerofill/run_front.h"
#include "zerofill/run_state.h"

enum { ERROR_TEXT_SIZE = 1024 };

// The system's own text for an error code, on one line.
static void system_error_text(char *text, size_t size, DWORD error)
{
    char message[ERROR_TEXT_SIZE] = "";
    DWORD length = sys::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       NULL, error, 0, message, sizeof message, NULL);
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n'))
        message[--length] = '\0';
    snprintf(text, size, "エラー %lu: %s", (unsigned long)error, message);
}

static void show_unfinished_fill(const char *cause, DWORD error)
{
    char text[ERROR_TEXT_SIZE];
    system_error_text(text, sizeof text, error);
    msgbox_printf(g_hDlg, MB_OK, BANNER, "%s\n空き領域のゼロクリヤは完了していません。\n%s", cause,
                  text);
}

static void show_not_ours(const char *what, const char *path)
{
    msgbox_printf(g_hDlg, MB_OK, BANNER,
                  "一時ファイル「%s」は%s。\n本プログラムの一時ファイルではないため、処理を中止しました。",
                  path, what);
}

void front_notice(const run_notice &n)
{
    char cause[2 * ERROR_TEXT_SIZE];
    switch (n.kind) {
    case NOTICE_FS_UNSUPPORTED:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "ファイルシステムが異常です。\n"
                      "本プログラムは、NTFS,FAT,FAT32 のみ対応です。\n"
                      "ファイルシステム = %s  (%s)",
                      n.name, n.path);
        break;
    case NOTICE_NO_MEMORY:
        msgbox_printf(g_hDlg, MB_OK, BANNER, "メモリが不足しています。");
        break;
    case NOTICE_FOLDER_IS_LINK:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時フォルダ「%s」はリンク（リパースポイント）です。\n"
                      "本プログラムの一時フォルダではないため、処理を中止しました。",
                      n.path);
        break;
    case NOTICE_FOLDER_NOT_MADE:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル保管用フォルダの作成に失敗しました。\n[%s]", n.path);
        break;
    case NOTICE_FILE_NOT_MADE:
    case NOTICE_FILE_READ_ONLY:  // as Windows itself ends it
        msgbox_printf(g_hDlg, MB_OK, BANNER, "一時ファイル「%s」の作成に失敗しました。", n.path);
        break;
    case NOTICE_FILE_IN_USE:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル「%s」は他のプログラムが使用中です。\n"
                      "同じドライブのゼロクリヤが実行中でないか確認して下さい。",
                      n.path);
        break;
    case NOTICE_FILE_IS_FOLDER:
        show_not_ours("フォルダです", n.path);
        break;
    case NOTICE_FILE_IS_LINK:
        show_not_ours("リンク（リパースポイント）です", n.path);
        break;
    case NOTICE_FILE_HAS_LINKS:
        show_not_ours("他のファイルとハードリンクで共有されています", n.path);
        break;
    case NOTICE_NOT_SHRINKING:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "ドライブ %c: の空き領域が減りません。\n"
                      "ゼロを書き込んでも領域を消費しないドライブ（圧縮・重複除去など）のため、"
                      "処理を中止しました。",
                      n.letter);
        break;
    case NOTICE_WRITE_FAILED:
        snprintf(cause, sizeof cause, "一時ファイル「%s」への書込みに失敗しました。", n.path);
        show_unfinished_fill(cause, n.error);
        break;
    case NOTICE_READ_FAILED:
        snprintf(cause, sizeof cause, "一時ファイル「%s」の読込みに失敗しました。", n.path);
        show_unfinished_fill(cause, n.error);
        break;
    case NOTICE_CANNOT_LOOK:
        msgbox_printf(g_hDlg, MB_OK, BANNER, "ドライブ %c: の空き領域を読み取れませんでした。",
                      n.letter);
        break;
    case NOTICE_QUERY_FAILED:
        snprintf(cause, sizeof cause, "ドライブ %c: の空き領域を取得できませんでした。", n.letter);
        show_unfinished_fill(cause, n.error);
        break;
    case NOTICE_FILES_LEFT:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "%s\\ 下の一時ファイル%d個の削除に失敗しました。\n"
                      "お手数ですが、上記ファイル・フォルダを手動削除して下さい。",
                      n.path, n.count);
        break;
    case NOTICE_FOLDER_LEFT:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時フォルダ %s の削除に失敗しました。\n"
                      "お手数ですが、上記フォルダを手動削除して下さい。",
                      n.path);
        break;
    case NOTICE_FILE_LEFT:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時ファイル「%s」の削除に失敗しました。\n"
                      "お手数ですが、上記ファイルを手動で削除して下さい。",
                      n.path);
        break;
    case NOTICE_STEP_SKIPPED:
        msgbox_printf(g_hDlg, MB_OK, BANNER,
                      "一時フォルダ「%s」と同じ名前のファイルまたはリンクがあります。\n"
                      "本プログラムの一時フォルダではないため、MFT空きレコードの書込みは行いませんでした。",
                      n.path);
        break;
    case NOTICE_SWEEP_STOPPED:  // a stop is the user's own: no box
        break;
    }
}

// The window shows the megabytes still to write, in units of 1,000,000
// bytes.
static int64_t megabytes(int64_t bytes)
{
    return bytes / 1000000;
}

void front_progress(const run_progress &p)
{
    switch (p.stage) {
    case STAGE_STARTING:
        // Messages of an earlier window are gone with it.
        reset_run_texts();
        show_run_text(TEXT_WRITING_DRIVE, (unsigned char)p.letter);
        break;
    case STAGE_WRITING:
        show_run_text(TEXT_REMAINING, megabytes(p.to_write));
        break;
    case STAGE_SWITCHING_FILE:
        show_run_text(TEXT_REMAINING_SWITCHING, megabytes(p.to_write));
        break;
    case STAGE_FLUSHING:
        show_run_text(TEXT_FLUSHING);
        break;
    case STAGE_WRITE_FALSE:
        show_run_text(TEXT_WRITE_FALSE);
        break;
    case STAGE_DELETING:
        show_run_text(TEXT_DELETING);
        break;
    case STAGE_RECORDS:
        show_run_text(TEXT_RECORDS, p.records);
        break;
    case STAGE_RECORDS_DONE:
        // The line keeps the last count until the files are deleted.
        break;
    case STAGE_WAY:
        // The window's run always writes every block.
        break;
    }
}
