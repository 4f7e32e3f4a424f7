// The unattended program from its entry point, against the double: its
// lines, its exit status and what it leaves on the volumes.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_win32/fake_win32.h"
#include "zerofill/run_state.h"

int voidfill_batch_main(int argc, char **argv);

namespace {

const int64_t SIZE = 1000000000;
const int64_t FREE = 100000000;

int run(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "voidfill-batch");
    std::vector<char *> argv;
    for (std::string &a : arguments)
        argv.push_back(&a[0]);
    return voidfill_batch_main((int)argv.size(), argv.data());
}

std::string joined(DWORD which)
{
    std::string text;
    for (const std::string &line : fake::std_stream_writes(which))
        text += line;
    return text;
}

void put_volume(char letter, const char *fs, DWORD disk)
{
    fake::add_volume(letter, fs, FREE, SIZE);
    fake::device_extents(letter, {{disk, 1048576, SIZE}});
}

}  // namespace

// Scenario: one command line per row, on C: (NTFS, disk 0), D: (NTFS, disk
//   0, its temporary file held open by another run), E: (exFAT, disk 1), F:
//   (FAT32, disk 2, its temporary file cannot be deleted).
// Expect: the exit status of the row (with several drives the highest),
//   its lines on standard output and standard error, and every volume's
//   free space as it was, save for the file left on F:.
TEST(BatchMain, ExitStatusAndLines)
{
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::vector<const char *> out;  // each must appear on standard output
        std::vector<const char *> err;  // each on standard error
    } rows[] = {
        {{"c:"}, 0,
         {"C: NTFS, size 1,000,000,000 bytes, free 100,000,000 bytes\r\n",
          "C: filling the free records of the file table\r\n",
          "C: file table step done, ",
          "C: complete in ", "voidfill-batch: exit status 0, every drive complete\r\n"},
         {}},
        {{"--quiet", "c:"}, 0, {}, {}},
        {{"c:", "--reserve", "x"}, 2, {}, {"voidfill-batch: --reserve wants", "--help"}},
        {{"e:"}, 3, {}, {"E: file system 'exFAT' of E:\\ is not supported", "E: not possible"}},
        {{"d:", "e:"}, 5, {}, {"D: the temporary file D:\\V_000000.TMP is in use", "exit status 5"}},
        {{"f:"}, 1, {}, {"F: 1 temporary file in F:\\VOIDTEMP could not be deleted",
                         "F: FAILED after "}},
        {{"--disk", "0"}, 5, {"C: complete in "}, {"D: not filled"}},
        {{"--disk", "7"}, 3, {}, {"disk 7: no drive letter lies on this disk"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.arguments[0] + " " + (r.arguments.size() > 1 ? r.arguments[1] : ""));
        fake::reset();
        g_running = 0;
        put_volume('C', "NTFS", 0);
        fake::model_file_table('C', 50, 65536);
        put_volume('D', "NTFS", 0);
        fake::hold_open("D:\\V_000000.TMP");
        put_volume('E', "exFAT", 1);
        put_volume('F', "FAT32", 2);
        fake::lock_file("F:\\VOIDTEMP\\V_000000.TMP");
        EXPECT_EQ(run(r.arguments), r.status);
        std::string out = joined(STD_OUTPUT_HANDLE), err = joined(STD_ERROR_HANDLE);
        for (const char *line : r.out)
            EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
        for (const char *line : r.err)
            EXPECT_NE(err.find(line), std::string::npos) << line << " in\n" << err;
        if (r.status != 0) {
            EXPECT_EQ(out.find("exit status"), std::string::npos);
        }
        for (const std::string &line : fake::std_stream_writes(STD_OUTPUT_HANDLE))
            EXPECT_EQ(line.find_first_of("\x1b\r"), line.size() - 2) << line;
        // The file table, once grown, stays so.
        EXPECT_EQ(fake::free_bytes('C'), FREE - 65536 * fake::table_growths('C'));
        EXPECT_TRUE(fake::listing('C').empty());
        EXPECT_EQ(fake::free_bytes('D'), FREE);
        EXPECT_EQ(fake::free_bytes('E'), FREE);
        EXPECT_EQ(fake::free_bytes('F'), r.arguments[0] == "f:" ? 10485760 : FREE);
        EXPECT_TRUE(fake::message_boxes().empty());
    }
}

// Scenario: a fill of 400 MB whose every block takes 20 ms, with a time
//   limit of 1 s; then another drive named after it. (The limit lasts for
//   the rest of the process: the last test here.)
// Expect: the run stops within the limit's second, its file removed, the
//   other drive never starts; status 4.
TEST(BatchMain, TimeLimitStopsCleanly)
{
    fake::reset();
    g_running = 0;
    fake::add_volume('C', "NTFS", 4 * FREE, SIZE);
    fake::add_volume('D', "NTFS", FREE, SIZE);
    fake::on_fwrite([](int) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    EXPECT_EQ(run({"--time-limit", "1", "c:", "d:"}), 4);
    std::string err = joined(STD_ERROR_HANDLE);
    EXPECT_NE(err.find("C: stopped by the time limit of 1 s"), std::string::npos) << err;
    EXPECT_NE(err.find("D: not started: the time limit was reached"), std::string::npos) << err;
    EXPECT_EQ(fake::free_bytes('C'), 4 * FREE);
    EXPECT_TRUE(fake::listing('C').empty());
    EXPECT_TRUE(fake::file_calls().size() > 0u);
    for (const fake::file_call &call : fake::file_calls())
        EXPECT_EQ(call.path.substr(0, 2), "C:") << call.path;
}
