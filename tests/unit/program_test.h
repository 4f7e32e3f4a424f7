// A fixture for tests that run the program's code: a fresh double, and the
// words the threads share as they are at process start.
#pragma once

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "ui/progress_dialog.h"

// Every error message of a run: owned by the progress window, an OK
// button, the banner as its title.
inline void expect_error_box_of(const fake::MessageBoxCall &box, HWND dialog)
{
    EXPECT_EQ(box.owner, dialog);
    EXPECT_EQ(box.type, MB_OK);
    EXPECT_EQ(box.title, BANNER);
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        g_hDlg = nullptr;
        g_result = 0;
        g_running = 0;
    }
    void TearDown() override
    {
        fake::reset();
    }
};
