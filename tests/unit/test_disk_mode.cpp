// Disk mode and the drive-to-disk mapping, with the real runs under the
// double's dialog.
#include <stdint.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "console/banner.h"
#include "fake_win32/fake_win32.h"
#include "program_test.h"
#include "ui/progress_dialog.h"
#include "cli/disk_mode.h"
#include "volume/disk_number.h"
#include "zerofill/zero_fill.h"

namespace {

const int64_t GIGABYTE = 1000000000;

class DiskMode : public ProgramTest {};

// A volume whose one extent lies on `disk`.
void put_drive(char letter, DWORD disk, int64_t free_bytes = RESERVE_BYTES,
               int64_t total_bytes = GIGABYTE)
{
    fake::device_extents(letter, {{disk, 1048576, total_bytes}});
    fake::add_volume(letter, "NTFS", free_bytes, total_bytes);
}

std::vector<std::string> console_lines()
{
    std::vector<std::string> lines;
    std::string text = fake::console_text();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// "Disk[1]:Drive[E:]..." -> "E:" for every report line, in order.
std::vector<std::string> reported_drives()
{
    std::vector<std::string> drives;
    for (const std::string &line : console_lines()) {
        size_t at = line.find("Drive[");
        if (at != std::string::npos)
            drives.push_back(line.substr(at + 6, 2));
    }
    return drives;
}

// The worker's first text of each run names its drive; the window's thread
// sets it.
std::vector<std::string> run_drives()
{
    std::vector<std::string> drives;
    for (const fake::text_record &r : fake::text_log())
        if (r.from == fake::LOOP_THREAD && r.control == IDC_STATUS &&
            r.text.find(" ドライブにゼロを書込中") != std::string::npos)
            drives.push_back(r.text.substr(0, 2));
    return drives;
}

void expect_every_handle_closed_once()
{
    std::vector<HANDLE> opened = fake::opened_handles();
    std::vector<HANDLE> closed = fake::closed_handles();
    std::sort(opened.begin(), opened.end());
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, opened);
}

int64_t bytes_written(const char *path)
{
    std::vector<size_t> sizes = fake::writes_to(path);
    return std::accumulate(sizes.begin(), sizes.end(), (int64_t)0);
}

}  // namespace

// Scenario: drives A on disk 7, C on disk 0, D on disk 3; the arguments
//   "0:" and "7:xyz".
// Expect: the confirmation shows the digit as typed; "0:" fills C only and
//   "7:xyz" fills A only, the number read up to the colon.
TEST_F(DiskMode, ArgumentSelectsTheDisk)
{
    const struct {
        const char *argument;
        const char *confirmation;
        const char *drive;
        const char *line_start;
    } cases[] = {
        {"0:", "ディスク #0 のゼロクリヤ開始します", "C:", "Disk[0]:Drive[C:]"},
        {"7:xyz", "ディスク #7 のゼロクリヤ開始します", "A:", "Disk[7]:Drive[A:]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argument);
        SetUp();
        put_drive('A', 7);
        put_drive('C', 0);
        put_drive('D', 3);
        run_disk_mode(c.argument);

        std::vector<fake::MessageBoxCall> boxes = fake::message_boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].type, MB_OKCANCEL);
        EXPECT_EQ(boxes[0].title, BANNER);
        EXPECT_EQ(boxes[0].text, c.confirmation);
        EXPECT_EQ(reported_drives(), std::vector<std::string>{c.drive});
        EXPECT_EQ(run_drives(), std::vector<std::string>{c.drive});
        ASSERT_EQ(console_lines().size(), 1u);
        EXPECT_EQ(console_lines()[0].rfind(c.line_start, 0), 0u);
    }
}

// Scenario: drives Z, C, M and E (set up in that order) with Z, C and E on
//   disk 1 and M on disk 2; the argument "1:".
// Expect: the 26 device paths \\.\A: to \\.\Z: opened in order with exactly
//   read access, read and write sharing, OPEN_EXISTING and nothing else;
//   each handle queried with the extents code into 2,048 bytes and closed;
//   C, E and Z reported and filled in that order, in upper case, M never.
TEST_F(DiskMode, LettersInOrderAndOnlyThoseOnTheDisk)
{
    put_drive('Z', 1);
    put_drive('C', 1);
    put_drive('M', 2);
    put_drive('E', 1);
    run_disk_mode("1:");

    std::vector<fake::create_file_record> opens = fake::create_file_calls();
    ASSERT_EQ(opens.size(), 26u);
    for (size_t i = 0; i < opens.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(opens[i].path, std::string("\\\\.\\") + (char)('A' + i) + ":");
        EXPECT_EQ(opens[i].access, GENERIC_READ);
        EXPECT_EQ(opens[i].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_FALSE(opens[i].security);
        EXPECT_EQ(opens[i].disposition, (DWORD)OPEN_EXISTING);
        EXPECT_EQ(opens[i].flags, 0u);
        EXPECT_FALSE(opens[i].template_file);
    }
    std::vector<fake::device_io_record> queries = fake::device_io_calls();
    ASSERT_EQ(queries.size(), 4u);
    for (const fake::device_io_record &q : queries) {
        EXPECT_EQ(q.code, 0x00560000u);
        EXPECT_FALSE(q.input);
        EXPECT_EQ(q.input_size, 0u);
        EXPECT_EQ(q.output_size, 2048u);
        EXPECT_TRUE(q.returned);
        EXPECT_FALSE(q.overlapped);
    }
    expect_every_handle_closed_once();

    const std::vector<std::string> expected = {"C:", "E:", "Z:"};
    EXPECT_EQ(reported_drives(), expected);
    EXPECT_EQ(run_drives(), expected);
    EXPECT_EQ(fake::dialogs().size(), 3u);
}

// Scenario: F spans disks 2 and 1 (first extent on 2); G reports success
//   with no extent; H has a volume whose device cannot be opened; I's query
//   fails; J's query claims more bytes than the buffer holds (extent on 1);
//   K is a card reader without its card.
// Expect: get_disk_number gives 2, -2, -1, -2, -2, -1; disk modes 0 and 1
//   fill nothing and show nothing but the confirmation, nor does the
//   system ask for K's card; disk 2 fills F; every opened handle is closed,
//   and the process's error mode is as it was.
TEST_F(DiskMode, VolumesNotOnTheDiskAreSkippedSilently)
{
    const int64_t total = GIGABYTE;
    fake::device_extents('F', {{2, 1048576, total / 2}, {1, 1048576, total / 2}});
    fake::device_extents('G', {});
    fake::device_missing('H');
    fake::device_query_fails('I');
    fake::device_overreports('J', 1);
    fake::device_without_medium('K');
    const UINT mode = 0x8000;  // SEM_NOOPENFILEERRORBOX, set by someone before
    sys::SetErrorMode(mode);
    for (char letter : std::string("FGHIJ"))
        fake::add_volume(letter, "NTFS", RESERVE_BYTES, total);

    EXPECT_EQ(get_disk_number('F'), 2);
    EXPECT_EQ(get_disk_number('G'), -2);
    EXPECT_EQ(get_disk_number('H'), -1);
    EXPECT_EQ(get_disk_number('I'), -2);
    EXPECT_EQ(get_disk_number('J'), -2);
    EXPECT_EQ(get_disk_number('K'), -1);
    expect_every_handle_closed_once();

    for (const char *argument : {"0:", "1:"}) {
        SCOPED_TRACE(argument);
        fake::reset_console();
        run_disk_mode(argument);
        EXPECT_EQ(fake::message_boxes().size(), 1u);
        EXPECT_EQ(fake::console_text(), "");
        EXPECT_TRUE(fake::dialogs().empty());
    }
    run_disk_mode("2:");
    EXPECT_EQ(reported_drives(), std::vector<std::string>{"F:"});
    EXPECT_EQ(run_drives(), std::vector<std::string>{"F:"});
    expect_every_handle_closed_once();
    EXPECT_TRUE(fake::critical_error_boxes().empty());
    EXPECT_EQ(fake::error_mode(), mode);
}

// Scenario: drive E on disk 1 with 12,345,678,912 bytes free of
//   80,023,715,840 (its run cancelled at once).
// Expect: exactly one console line, byte for byte.
TEST_F(DiskMode, ReportLine)
{
    put_drive('E', 1, 12345678912, 80023715840);
    fake::command_after_init(IDC_ABORT);
    run_disk_mode("1:");
    EXPECT_EQ(fake::console_text(),
              "Disk[1]:Drive[E:]Free/Size =   12,345,678,912/  80,023,715,840 (B)\n");
}

// Scenario: the confirmation answered with Cancel.
// Expect: nothing opened, queried, printed or filled.
TEST_F(DiskMode, DeclinedConfirmationQueriesNothing)
{
    put_drive('C', 1);
    fake::push_message_box_answer(IDCANCEL);
    run_disk_mode("1:");
    EXPECT_EQ(fake::message_boxes().size(), 1u);
    EXPECT_TRUE(fake::create_file_calls().empty());
    EXPECT_TRUE(fake::space_calls().empty());
    EXPECT_EQ(fake::console_text(), "");
    EXPECT_TRUE(fake::dialogs().empty());
}

// Scenario: C and D on disk 0, 5,000,000 bytes to write on each; C's dialog
//   cancelled right after it opened.
// Expect: C ends cancelled without a file; then D is reported and filled
//   fully, its run going on with the flag raised again, and ends done.
TEST_F(DiskMode, CancelOnOneDriveStopsOnlyThatDrive)
{
    put_drive('C', 0, RESERVE_BYTES + 5000000);
    put_drive('D', 0, RESERVE_BYTES + 5000000);
    fake::command_after_init(IDC_ABORT, 1);
    run_disk_mode("0:");

    EXPECT_EQ(reported_drives(), (std::vector<std::string>{"C:", "D:"}));
    std::vector<fake::end_record> ends = fake::end_calls();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].result, RUN_CANCELLED);
    EXPECT_EQ(ends[1].result, RUN_DONE);
    EXPECT_EQ(bytes_written("C:\\V_000000.TMP"), 0);
    EXPECT_EQ(bytes_written("D:\\V_000000.TMP"), 5000000);
    EXPECT_FALSE(fake::exists("D:\\V_000000.TMP"));
    EXPECT_EQ(g_result.load(), RUN_DONE);
}
