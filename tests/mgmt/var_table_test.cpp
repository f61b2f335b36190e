#include <gtest/gtest.h>

#include "mgmt/hex.h"
#include "mgmt/var_table.h"

namespace {

bool same(const MyVarDescriptor& a, const MyVarDescriptor& b)
{
    return a.type == b.type && a.access == b.access && a.name == b.name && a.description == b.description;
}

}   // namespace

TEST(VarTable, ExpandsToEveryInstance)
{
    MyVarTable table, unexpanded;
    var_table_build(table, unexpanded);
    // 54 declared rows, 255 more channels of 14 columns, 7 more E1 streams of
    // 2 and 7 more parameter rows
    EXPECT_EQ(table.size(), 54u + 255 * 14 + 7 * 2 + 7);
    EXPECT_EQ(unexpanded.size(), 40u);
    EXPECT_EQ(unexpanded.rbegin()->first, ".30.1.1.0");
    for (const char* id : {".10.0", ".10.256.3.0", ".11.1.3.0", ".10.256.17.0", ".14.8.2.0", ".30.8.1.0"})
        EXPECT_EQ(table.count(id), 1u) << id;
    for (const char* id : {".10.257.3.0", ".10.2.7.0", ".14.9.1.0", ".30.9.1.0", ".11.2.3.0"})
        EXPECT_EQ(table.count(id), 0u) << id;
    EXPECT_TRUE(same(table[".10.256.3.0"], table[".11.1.3.0"]));
    EXPECT_EQ(table[".10.200.4.0"].access, VAR_WO);

    // numeric order: channel 2 before channel 10, the last channel before .11
    auto it = table.find(".10.2.17.0");
    ASSERT_NE(it, table.end());
    EXPECT_EQ((++it)->first, ".10.3.1.0");
    it = table.find(".10.256.17.0");
    EXPECT_EQ((++it)->first, ".11.0");
}

TEST(VarTable, DescriptionRoundTripsAndLeavesChannel256Out)
{
    MyVarTable table, unexpanded;
    var_table_build(table, unexpanded);
    std::string mib = describe_var_table(unexpanded);
    ASSERT_EQ(mib.size(), 997u);
    Bytes head(mib.begin(), mib.begin() + 16);
    EXPECT_EQ(to_hex(head), "01 00 01 01 0B 00 42 6F 61 72 64 54 79 70 65 02");
    EXPECT_EQ(mib.find(std::string("\x0B\x01", 2)), std::string::npos);
    EXPECT_EQ(describe_var_table(table), "") << "channel 256 has no plain byte form";

    MyVarTable parsed;
    ASSERT_EQ(parse_var_table(parsed, mib), 0);
    for (const auto& [id, d] : unexpanded) {
        ASSERT_EQ(parsed.count(id), 1u) << id;
        EXPECT_TRUE(same(parsed[id], d)) << id;
    }
    // parsed and expanded: everything but the .11.1 rows
    EXPECT_EQ(parsed.size(), table.size() - 14);
    for (const auto& [id, d] : parsed) {
        ASSERT_EQ(table.count(id), 1u) << id;
        EXPECT_TRUE(same(table[id], d)) << id;
    }
}

TEST(VarTable, InitBuildsTheGlobalsOnce)
{
    var_table_init();
    size_t n = varTable.size();
    varTable[".99.0"] = MyVarDescriptor{};
    var_table_init();
    EXPECT_EQ(varTable.size(), n + 1);
    varTable.erase(".99.0");
    EXPECT_EQ(varTableUnexpanded.size(), 40u);
}
