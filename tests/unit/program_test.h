// A fixture for tests that run the program's code: a fresh double, and the
// words the threads share as they are at process start.
#pragma once

#include <gtest/gtest.h>

#include "fake_win32/fake_win32.h"
#include "ui/progress_dialog.h"

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
