// The progress window's template as the resource compiler writes it.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/dialog_ids.h"

#ifndef VOIDFILL_DIALOG_RES
#error "the build passes the path of the compiled template in VOIDFILL_DIALOG_RES"
#endif

namespace {

// A name or a class in a resource: a 16-bit ordinal (after 0xFFFF) or a
// UTF-16 string.
struct name_or_ordinal {
    bool is_ordinal;
    uint16_t ordinal;
    std::u16string text;
};

// Reads little-endian fields; a read past the end sets `overrun` and gives 0.
struct reader {
    const std::vector<uint8_t> &bytes;
    size_t at;
    bool overrun;

    uint16_t word()
    {
        if (at + 2 > bytes.size()) {
            overrun = true;
            return 0;
        }
        uint16_t value = (uint16_t)(bytes[at] | bytes[at + 1] << 8);
        at += 2;
        return value;
    }
    uint32_t dword()
    {
        uint32_t low = word();
        return low | (uint32_t)word() << 16;
    }
    int16_t coordinate()
    {
        return (int16_t)word();
    }
    std::u16string text()
    {
        std::u16string s;
        for (uint16_t c = word(); c != 0 && !overrun; c = word())
            s.push_back((char16_t)c);
        return s;
    }
    name_or_ordinal name()
    {
        uint16_t first = word();
        if (first == 0xFFFF)
            return {true, word(), u""};
        if (first == 0)
            return {false, 0, u""};
        at -= 2;
        return {false, 0, text()};
    }
    void align(size_t base, size_t boundary)
    {
        while ((at - base) % boundary != 0)
            at++;
    }
};

struct resource {
    name_or_ordinal type;
    name_or_ordinal name;
    uint16_t memory_flags;
    uint16_t language;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> read_file(const char *path)
{
    std::vector<uint8_t> bytes;
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return bytes;
    uint8_t block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + n);
    fclose(file);
    return bytes;
}

// The entries of a .res file: header (sizes, type, name, then the fixed
// fields), data, each padded to four bytes.
std::vector<resource> read_resources(const std::vector<uint8_t> &bytes, bool &well_formed)
{
    std::vector<resource> found;
    reader r{bytes, 0, false};
    while (r.at < bytes.size()) {
        size_t start = r.at;
        uint32_t data_size = r.dword();
        uint32_t header_size = r.dword();
        resource res;
        res.type = r.name();
        res.name = r.name();
        r.align(0, 4);
        r.dword();  // data version
        res.memory_flags = r.word();
        res.language = r.word();
        if (r.overrun || r.at + 8 != start + header_size ||
            start + header_size + data_size > bytes.size()) {
            well_formed = false;
            return found;
        }
        auto data = bytes.begin() + (ptrdiff_t)(start + header_size);
        res.data.assign(data, data + data_size);
        found.push_back(res);
        r.at = start + header_size + data_size;
        r.align(0, 4);
    }
    well_formed = true;
    return found;
}

struct expected_item {
    uint16_t class_ordinal;
    uint16_t id;
    int16_t x, y, cx, cy;
    uint32_t style;
};

}  // namespace

// Scenario: the .res file compiled from the program's .rc, decoded entry by
//   entry and field by field as Windows reads a classic dialog template.
// Expect: one RT_DIALOG "VF1", language neutral, with exactly the window,
//   font and three controls the program's procedure relies on; no byte left.
TEST(DialogTemplate, EveryFieldOfTheCompiledTemplate)
{
    std::vector<uint8_t> bytes = read_file(VOIDFILL_DIALOG_RES);
    ASSERT_FALSE(bytes.empty()) << "missing or empty: " << VOIDFILL_DIALOG_RES;
    bool well_formed = false;
    std::vector<resource> resources = read_resources(bytes, well_formed);
    ASSERT_TRUE(well_formed);

    // The first entry of every .res file is the empty marker; then the dialog.
    ASSERT_EQ(resources.size(), 2u);
    EXPECT_TRUE(resources[0].data.empty());
    const resource &dialog = resources[1];
    EXPECT_TRUE(dialog.type.is_ordinal);
    EXPECT_EQ(dialog.type.ordinal, 5);  // RT_DIALOG
    EXPECT_FALSE(dialog.name.is_ordinal);
    EXPECT_EQ(dialog.name.text, u"VF1");
    EXPECT_EQ(dialog.language, 0);

    reader r{dialog.data, 0, false};
    uint32_t style = r.dword();
    // An extended template would begin with version 1 and signature 0xFFFF.
    ASSERT_NE(style, 0xFFFF0001u);
    EXPECT_EQ(style, 0x90C000C0u);
    EXPECT_EQ(r.dword(), 0u);  // extended style
    uint16_t count = r.word();
    EXPECT_EQ(count, 3);
    EXPECT_EQ(r.coordinate(), 10);
    EXPECT_EQ(r.coordinate(), 50);
    EXPECT_EQ(r.coordinate(), 230);
    EXPECT_EQ(r.coordinate(), 70);
    name_or_ordinal menu = r.name();
    EXPECT_TRUE(!menu.is_ordinal && menu.text.empty());
    name_or_ordinal window_class = r.name();
    EXPECT_TRUE(!window_class.is_ordinal && window_class.text.empty());
    EXPECT_EQ(r.text(), u"VOIDFILL(VF1 2007/12/28)");
    EXPECT_EQ(r.word(), 11);  // point size, present because of DS_SETFONT
    const char16_t face[] = {0xFF2D, 0xFF33, 0x0020, 0x30B4, 0x30B7, 0x30C3, 0x30AF, 0};
    EXPECT_EQ(r.text(), std::u16string(face));

    const expected_item items[] = {
        {0x0082, IDC_STATUS, 12, 12, 214, 12, 0x50020001u},
        {0x0082, IDC_PROGRESS, 12, 30, 214, 12, 0x50020001u},
        {0x0080, IDC_ABORT, 166, 48, 60, 20, 0x50010000u},
    };
    ASSERT_EQ(count, 3);
    for (const expected_item &want : items) {
        SCOPED_TRACE(want.id);
        r.align(0, 4);
        EXPECT_EQ(r.dword(), want.style);
        EXPECT_EQ(r.dword(), 0u);  // extended style
        EXPECT_EQ(r.coordinate(), want.x);
        EXPECT_EQ(r.coordinate(), want.y);
        EXPECT_EQ(r.coordinate(), want.cx);
        EXPECT_EQ(r.coordinate(), want.cy);
        EXPECT_EQ(r.word(), want.id);
        name_or_ordinal item_class = r.name();
        EXPECT_TRUE(item_class.is_ordinal);
        EXPECT_EQ(item_class.ordinal, want.class_ordinal);
        name_or_ordinal text = r.name();
        EXPECT_TRUE(!text.is_ordinal && text.text.empty());
        EXPECT_EQ(r.word(), 0);  // bytes of creation data
    }
    EXPECT_FALSE(r.overrun);
    EXPECT_EQ(r.at, dialog.data.size());
}
