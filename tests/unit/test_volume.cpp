// File-system kind and space queries against the double's volumes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_win32/fake_win32.h"
#include "volume/volume.h"

namespace {

class Volume : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
};

// The space functions look GetDiskFreeSpaceExA up once per process and
// g_fs_name starts as "Error" once per process, so some checks run in a new
// copy of the test program where nothing has been queried yet. The child
// reports what went wrong on stderr and through its exit status.
struct findings {
    std::string text;
    template <typename A, typename B>
    void equal(const A &actual, const B &expected, const char *what)
    {
        if (!(actual == expected))
            text += std::string(what) + ": " + ::testing::PrintToString(actual) + ", expected " +
                    ::testing::PrintToString(expected) + "\n";
    }
};

[[noreturn]] void end_child(const findings &found)
{
    if (!found.text.empty()) {
        fputs(found.text.c_str(), stderr);
        _Exit(1);
    }
    exit(0);
}

#define EXPECT_IN_NEW_PROCESS(check)                                          \
    do {                                                                      \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                       \
        EXPECT_EXIT(end_child(check()), ::testing::ExitedWithCode(0), "");   \
    } while (0)

std::vector<std::string> roots_queried()
{
    std::vector<std::string> roots;
    for (const fake::space_call &call : fake::space_calls())
        roots.push_back(call.root);
    return roots;
}

int calls_of(fake::space_function function)
{
    int n = 0;
    for (const fake::space_call &call : fake::space_calls())
        n += call.function == function;
    return n;
}

}  // namespace

// Scenario: volumes whose file system the system names in several spellings,
//   and a drive whose volume information cannot be read.
// Expect: only whole-name matches without regard to case give NTFS, FAT or
//   FAT32; other names give FS_OTHER and stay in g_fs_name; the failure
//   gives FS_ERROR and leaves g_fs_name as the last success wrote it.
TEST_F(Volume, FileSystemKindFromItsName)
{
    struct {
        const char *name;
        int kind;
    } cases[] = {
        {"NTFS", FS_NTFS}, {"ntfs", FS_NTFS},   {"FAT", FS_FAT},   {"FAT32", FS_FAT32},
        {"fat32", FS_FAT32}, {"FAT16", FS_OTHER}, {"CDFS", FS_OTHER}, {"FA", FS_OTHER},
    };
    for (const auto &c : cases) {
        fake::add_volume('d', c.name, 1, 1);
        EXPECT_EQ(get_fs_type("d:\\"), c.kind) << c.name;
        EXPECT_STREQ(g_fs_name, c.name);
    }
    EXPECT_EQ(fake::volume_information_calls().back(), "d:\\");

    fake::add_volume('e', "FAT32", 1, 1);
    fake::add_volume('f', nullptr, 1, 1);
    EXPECT_EQ(get_fs_type("e:\\"), FS_FAT32);
    EXPECT_EQ(get_fs_type("f:\\"), FS_ERROR);
    EXPECT_EQ(get_fs_type("g:\\"), FS_ERROR);
    EXPECT_STREQ(g_fs_name, "FAT32");
}

static findings failed_first_query()
{
    findings found;
    found.equal(get_fs_type("f:\\"), (int)FS_ERROR, "kind");
    found.equal(std::string(g_fs_name), std::string("Error"), "g_fs_name");
    return found;
}

// Scenario: the first file-system query of the process fails.
// Expect: FS_ERROR, and g_fs_name still reads "Error".
TEST_F(Volume, NameStaysErrorAfterAFailedFirstQuery)
{
    fake::add_volume('f', nullptr, 1, 1);
    EXPECT_IN_NEW_PROCESS(failed_first_query);
}

// Scenario: space queries with a drive text, a root, a longer path in either
//   letter case, and a network share.
// Expect: every drive path is asked as its root with the letter's case
//   kept; the share goes to the system unchanged.
TEST_F(Volume, SpaceQueriesAskTheRootOfThePath)
{
    fake::add_volume('d', "NTFS", 123456789, 987654321);
    EXPECT_EQ(get_free_bytes("d:"), 123456789);
    EXPECT_EQ(get_free_bytes("d:\\"), 123456789);
    EXPECT_EQ(get_total_bytes("d:\\any\\folder"), 987654321);
    EXPECT_EQ(get_total_bytes("D:"), 987654321);
    EXPECT_EQ(get_free_bytes("\\\\server\\share\\"), -1);
    std::vector<std::string> expected = {"d:\\", "d:\\", "d:\\", "D:\\", "\\\\server\\share\\"};
    EXPECT_EQ(roots_queried(), expected);
}

static findings extended_queries()
{
    findings found;
    for (int i = 0; i < 3; i++) {
        found.equal(get_free_bytes("d:"), (int64_t)5000000000, "free");
        found.equal(get_total_bytes("d:"), (int64_t)8000000000, "total");
    }
    std::vector<std::string> kernel32(2, "kernel32.dll");
    std::vector<std::string> entry(2, "GetDiskFreeSpaceExA");
    found.equal(fake::module_handle_calls(), kernel32, "modules looked up");
    found.equal(fake::proc_address_calls(), entry, "functions looked up");
    found.equal(calls_of(fake::SPACE_EX), 6, "extended queries");
    found.equal(calls_of(fake::SPACE_CLUSTERS), 0, "cluster queries");

    fake::fail_space_queries_from('d', 1);
    found.equal(get_free_bytes("d:"), (int64_t)-1, "refused free");
    found.equal(get_total_bytes("d:"), (int64_t)-1, "refused total");
    found.equal(fake::module_handle_calls().size(), (size_t)2, "no new lookup");
    return found;
}

// Scenario: a system with GetDiskFreeSpaceExA; three queries of each space
//   function, then the volume refuses further queries.
// Expect: each function looks the entry point up once, in kernel32.dll; each
//   query is one call of the entry point; refused queries give -1.
TEST_F(Volume, ExtendedQueryIsLookedUpOncePerFunction)
{
    fake::add_volume('d', "NTFS", 5000000000, 8000000000);
    EXPECT_IN_NEW_PROCESS(extended_queries);
}

static findings cluster_queries()
{
    findings found;
    for (int i = 0; i < 3; i++) {
        found.equal(get_free_bytes("d:\\"), (int64_t)152587 * 64 * 512, "free");
        found.equal(get_total_bytes("d:\\"), (int64_t)244140 * 64 * 512, "total");
    }
    found.equal(fake::proc_address_calls().size(), (size_t)2, "lookups");
    found.equal(calls_of(fake::SPACE_CLUSTERS), 6, "cluster queries");
    found.equal(calls_of(fake::SPACE_EX), 0, "extended queries");

    fake::fail_space_queries_from('d', 1);
    found.equal(get_free_bytes("d:\\"), (int64_t)-1, "refused free");
    found.equal(get_total_bytes("d:\\"), (int64_t)-1, "refused total");
    found.equal(fake::proc_address_calls().size(), (size_t)2, "no new lookup");
    return found;
}

// Scenario: a system without GetDiskFreeSpaceExA and a volume of more than
//   4 GiB in clusters of 64 sectors of 512 bytes; three queries of each
//   space function, then the volume refuses further queries.
// Expect: each function attempts the lookup once and then uses the cluster
//   counts on every call, multiplied in 64 bits; refused queries give -1.
TEST_F(Volume, ClusterArithmeticWithoutTheExtendedQuery)
{
    fake::add_volume('d', "FAT32", 5000003000, 8000000000);
    fake::set_cluster_geometry('d', 64, 512);
    fake::hide_free_space_ex(true);
    EXPECT_IN_NEW_PROCESS(cluster_queries);
}
