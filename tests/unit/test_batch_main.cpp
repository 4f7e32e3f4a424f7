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

// Without elevation, no volume opens for reading.
void put_volume(char letter, const char *fs, DWORD disk, bool elevated = true)
{
    fake::add_volume(letter, fs, FREE, SIZE);
    if (elevated)
        fake::device_extents(letter, {{disk, 1048576, SIZE}});
    else
        fake::device_needs_admin(letter, disk);
}

}  // namespace

// Scenario: one command line per row, run elevated or not, on C: (NTFS,
//   disk 0, its first MiB of free space holding old data), D: (NTFS,
//   disk 0, its temporary file held open by another
//   run), E: (exFAT, disk 1), F: (FAT32, disk 2, its temporary file cannot
//   be deleted), H: (NTFS, disk 4, under a disk quota), I: (NTFS, only the
//   reserve free), J: (a card reader without its card), K: (NTFS, clusters
//   of one byte, a size that 100 does not divide); no drive at Q:.
// Expect: the exit status of the row (with several drives the most
//   serious), its lines on standard output and standard error, the summary
//   lines also under --quiet, a reserve in whole clusters, a percentage of
//   the exact size rounded up, and every volume's free space as it was,
//   save for the file left on F:; a usage error touches no drive at all.
TEST(BatchMain, ExitStatusAndLines)
{
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::vector<const char *> out;  // each must appear on standard output
        std::vector<const char *> err;  // each on standard error
        bool elevated;
    } rows[] = {
        {{"c:"}, 0,
         {"C: NTFS, size 1,000,000,000 bytes, free 100,000,000 bytes\r\n",
          "C: reading the free space first: zeros only where it holds data\r\n",
          "C: filling the free records of the file table\r\n",
          "C: file table step done, ",
          "bytes of free space read, 1,048,576 held data and were zeroed, the rest was zero",
          "voidfill-batch: drive=C status=0 fs=NTFS size=1000000000 free_before=100000000 "
          "reserve=10485760 written=1048576 read=89513984 data=1048576 seconds=",
          "voidfill-batch: run status=0 drives=1 written=1048576 seconds=",
          "voidfill-batch: exit status 0, every drive complete\r\n"},
         {}, true},
        {{"--write-all", "c:"}, 0,
         {"C: writing zeros over all of the free space: as asked (--write-all)\r\n",
          "bytes of zeros written and removed again\r\n",
          "reserve=10485760 written=89514240 read=0 data=- seconds="},
         {}, true},
        {{"--check", "c:"}, 0,
         {"C: checking: reading the free space, writing nothing\r\n", "C: checked in ",
          "1,048,576 of them (1.2%) hold data; nothing was written\r\n",
          "written=0 read=89513984 data=1048576 "},
         {}, true},
        {{"--check", "f:"}, 3,
         {"F: cannot read the free space: FAT and FAT32"},
         {"F: the free space cannot be read through a file here"}, true},
        {{"--check", "--write-all", "c:"}, 2, {}, {"--check writes nothing"}, true},
        {{"--quiet", "c:"}, 0, {"voidfill-batch: drive=C status=0 ", "voidfill-batch: run status=0 "},
         {}, true},
        {{"--write-all", "--reserve", "5%", "c:"}, 0, {"reserve=50003968 written=49996032 "}, {},
         true},
        {{"--write-all", "--reserve", "7%", "k:"}, 0, {"reserve=70000007 written=29999993 "}, {},
         true},
        {{"c:", "--reserve", "x"}, 2, {"voidfill-batch: run status=2 drives=0 "},
         {"voidfill-batch: --reserve wants", "--help"}, true},
        {{"e:"}, 3, {}, {"E: file system 'exFAT' of E:\\ is not supported", "E: not possible"}, true},
        {{"j:"}, 3, {}, {"J: no file system could be read at J:\\", "J: not possible"}, true},
        {{"d:", "e:"}, 5, {}, {"D: the temporary file D:\\V_000000.TMP is in use", "exit status 5"}, true},
        {{"f:", "e:", "d:"}, 1, {"drive=F status=1 ", "drive=E status=3 ", "drive=D status=5 "},
         {"F: 1 temporary file in F:\\VOIDTEMP could not be deleted", "F: FAILED after ",
          "voidfill-batch: exit status 1"}, true},
        {{"--disk", "0"}, 5, {"C: complete in "}, {"D: not filled"}, true},
        {{"c:", "q:"}, 2, {"run status=2 drives=0 "}, {"Q: no such drive"}, true},
        {{"--disk", "7"}, 2, {}, {"disk 7: no drive letter lies on this disk"}, true},
        {{"--disk", "0"}, 1, {}, {"disk 0: which drives lie on it cannot be read: opening a "
                                  "volume needs an administrator"}, false},
        {{"h:"}, 3, {"drive=H status=3 "}, {"H: a disk quota leaves this account 100,000,000 of "
                                           "the volume's 150,000,000 free bytes"}, true},
        {{"i:"}, 0, {"I: nothing to fill: free 10,485,760 bytes, reserve 10,485,760 bytes",
                     "drive=I status=0 fs=NTFS size=1000000000 free_before=10485760 "
                     "reserve=10485760 written=0 "},
         {}, true},
        {{"--all"}, 5,
         {"E: skipped: a fixed drive with file system 'exFAT', not NTFS, FAT or FAT32",
          "J: skipped: a removable drive", "drive=C status=0", "drive=D status=5",
          "drive=I status=0", "run status=5 drives=5 "},
         {}, true},
    };
    for (const auto &r : rows) {
        std::string shown;
        for (const std::string &a : r.arguments)
            shown += a + " ";
        SCOPED_TRACE(shown);
        fake::reset();
        g_running = 0;
        put_volume('C', "NTFS", 0, r.elevated);
        fake::model_file_table('C', 50, 65536);
        fake::old_data('C', 0, 1048576);
        put_volume('D', "NTFS", 0, r.elevated);
        fake::hold_open("D:\\V_000000.TMP");
        put_volume('E', "exFAT", 1, r.elevated);
        put_volume('H', "NTFS", 4, r.elevated);
        fake::set_quota_withheld('H', FREE / 2);
        fake::add_volume('I', "NTFS", 10485760, SIZE);
        fake::add_volume('K', "NTFS", FREE, SIZE + 99);
        fake::set_cluster_geometry('K', 1, 1);
        fake::set_drive_type('J', DRIVE_REMOVABLE);
        fake::device_without_medium('J');
        bool f_has_volume = r.arguments[0] != "--all";
        if (f_has_volume) {
            put_volume('F', "FAT32", 2, r.elevated);
            fake::lock_file("F:\\VOIDTEMP\\V_000000.TMP");
        }
        EXPECT_EQ(run(r.arguments), r.status);
        std::string out = joined(STD_OUTPUT_HANDLE), err = joined(STD_ERROR_HANDLE);
        for (const char *line : r.out)
            EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
        for (const char *line : r.err)
            EXPECT_NE(err.find(line), std::string::npos) << line << " in\n" << err;
        if (r.status != 0) {
            EXPECT_EQ(out.find("exit status"), std::string::npos);
        }
        if (r.status == 2) {
            EXPECT_TRUE(fake::file_calls().empty());
        }
        for (const std::string &line : fake::std_stream_writes(STD_OUTPUT_HANDLE))
            EXPECT_EQ(line.find_first_of("\x1b\r"), line.size() - 2) << line;
        // The file table, once grown, stays so.
        EXPECT_EQ(fake::free_bytes('C'), FREE - 65536 * fake::table_growths('C'));
        EXPECT_TRUE(fake::listing('C').empty());
        // Whatever wrote zeros on C: left no old data there.
        bool zeroed = false;
        for (const fake::file_call &call : fake::file_calls())
            zeroed |= (call.op == fake::OP_WRITE || call.op == fake::OP_FWRITE) &&
                      call.path == "C:\\V_000000.TMP";
        EXPECT_EQ(fake::old_data_left('C').empty(), zeroed);
        for (char letter : {'D', 'E', 'H'})
            EXPECT_EQ(fake::free_bytes(letter), FREE) << letter;
        if (f_has_volume) {
            EXPECT_EQ(fake::free_bytes('F'), r.arguments[0] == "f:" ? 10485760 : FREE);
        }
        EXPECT_TRUE(fake::message_boxes().empty());
    }
}

// Scenario: a logoff while C: is being filled, as a service's console
//   program receives it when any user logs off.
// Expect: neither handler takes it (the system's own keeps a service
//   running): the fill goes on and completes.
TEST(BatchMain, AnotherUsersLogoffDoesNotStopTheFill)
{
    fake::reset();
    g_running = 0;
    fake::add_volume('C', "NTFS", FREE, SIZE);
    BOOL taken = -1;
    fake::on_fwrite([&](int block) {
        if (block == 2)
            taken = fake::raise_ctrl_event(CTRL_LOGOFF_EVENT);
    });
    EXPECT_EQ(run({"--write-all", "c:"}), 0);
    EXPECT_EQ(taken, FALSE);
    EXPECT_NE(joined(STD_OUTPUT_HANDLE).find("C: complete in "), std::string::npos);
}

// A run in the given way whose third fwrite or ReadFile hangs, stopped with
// Ctrl+C once the log says so. (A stop lasts for the rest of the process:
// one run a test.)
static void expect_stop_cancels_hanging_io(const char *way)
{
    fake::reset();
    g_running = 0;
    fake::add_volume('C', "NTFS", FREE, SIZE);
    fake::hang_writes_from(2);
    std::thread user([] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        while (joined(STD_OUTPUT_HANDLE).find("(a write has taken") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fake::raise_ctrl_event(CTRL_C_EVENT);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run({way, "c:"}), 4);
    user.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(9));
    EXPECT_EQ(fake::cancelled_writes(), 1);
    std::string err = joined(STD_ERROR_HANDLE);
    EXPECT_NE(err.find("C: stopped after "), std::string::npos) << err;
    EXPECT_EQ(err.find("FAILED"), std::string::npos) << err;
    EXPECT_EQ(fake::free_bytes('C'), FREE);
    EXPECT_TRUE(fake::listing('C').empty());
}

// Scenario: the third write hangs, as on a stalled volume; Ctrl+C comes
//   once the log says so.
// Expect: while the write hangs a progress line still comes and names it;
//   the stop cancels that write through the thread's handle rather than
//   wait for it; status 4, a stop and not a failure; the file removed.
TEST(BatchMain, StopCancelsAHangingWrite)
{
    expect_stop_cancels_hanging_io("--write-all");
}

// Scenario: reading first, the third read of the free space hangs.
// Expect: the same.
TEST(BatchMain, StopCancelsAHangingRead)
{
    expect_stop_cancels_hanging_io("--reserve=10MiB");
}

// Scenario: a full write of 400 MB whose every block takes 20 ms, with a time
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
    EXPECT_EQ(run({"--write-all", "--time-limit", "1", "c:", "d:"}), 4);
    std::string err = joined(STD_ERROR_HANDLE);
    EXPECT_NE(err.find("C: stopped by the time limit of 1 s"), std::string::npos) << err;
    EXPECT_NE(err.find("D: not started: the time limit was reached"), std::string::npos) << err;
    EXPECT_EQ(fake::free_bytes('C'), 4 * FREE);
    EXPECT_TRUE(fake::listing('C').empty());
    EXPECT_TRUE(fake::file_calls().size() > 0u);
    for (const fake::file_call &call : fake::file_calls())
        EXPECT_EQ(call.path.substr(0, 2), "C:") << call.path;
}
