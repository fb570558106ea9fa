// A request holds only what was checked when it was added, so that no
// caller can have an edit made to an atom it did not name.
#include <gtest/gtest.h>

#include <string>

#include "edit/kevo_edit.h"
#include "tests/support/kevo_bytes.h"

namespace {

using namespace kevo_test;

TEST(ValueRequest, WhatIsRefusedLeavesTheRequestAsItWas)
{
    kevo_editRequest request;
    std::string why;
    ASSERT_EQ(kevo_addSet(&request, "mic", 1, &why), 1);
    const struct {
        const char* selector;
        int64_t value;
        std::string why;
    } refused[] = {
        // Once taken as "pav2/#0" by a parser that wrapped the index.
        {"pav2/#4294967296", 1400,
         "not [STREAM/]ATOM, each a fourcc of one to four characters or #N: 'pav2/#4294967296'"},
        {"pav2/mic", 4294967296, "not a value from -2147483648 to 4294967295: 4294967296"},
        {"pav2/mic", -2147483649, "not a value from -2147483648 to 4294967295: -2147483649"},
        {"mic ", 2, "'mic' and 'mic ' set the same atom"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.selector);
        EXPECT_EQ(kevo_addSet(&request, c.selector, c.value, &why), 0);
        EXPECT_EQ(why, c.why);
    }
    EXPECT_EQ(kevo_addCondition(&request, "pav2/#1x", 1, &why), 0);
    ASSERT_EQ(request.sets().size(), 1u);
    EXPECT_EQ(request.conditions().size(), 0u);
    EXPECT_EQ(request.sets()[0].text, "mic");
    EXPECT_EQ(request.sets()[0].value, 1u);
}

// The program the README once showed, given the selector above: it must edit
// nothing, whatever it does with the refusal.
TEST(ValueRequest, AFileEditedWithARefusedSelectorKeepsItsBytes)
{
    TempDir dir;
    Header header;
    header.streams = {Stream{"pav2", 0, 48, 1, {intAtom("intr", 100)}, std::nullopt}};
    const Bytes original = concat(encode(header), packetBytes(64));
    writeFile(dir.path("rec.kevo"), original);
    kevo_editRequest request;
    std::string why;
    kevo_addSet(&request, "pav2/#4294967296", 1400, &why);
    kevo_editResult result;
    EXPECT_NE(kevo_editValues(dir.path("rec.kevo").c_str(), request, &result), KEVO_EDIT_EDITED);
    EXPECT_EQ(readFile(dir.path("rec.kevo")), original);
}

}  // namespace
