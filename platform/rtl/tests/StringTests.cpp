// The string list.

#include "SysUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(StringList, AddIndexCountClear) {
    TStringList list;
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.First(), "");
    EXPECT_EQ(list.Add("Primärer Soundtreiber"), 0);
    EXPECT_EQ(list.Add("Lautsprecher"), 1);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Get(1), "Lautsprecher");
    EXPECT_EQ(list[0], "Primärer Soundtreiber");
    EXPECT_EQ(list.First(), "Primärer Soundtreiber");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Add("again"), 0);
}

TEST(StringList, IndexOutOfRangeRaisesListError) {
    TStringList list;
    list.Add("a");
    const TStrings& strings = list;
    try {
        strings[1];
        FAIL() << "no EListError";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (1)");
    }
    try {
        list.Get(-1);
        FAIL() << "no EListError";
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (-1)");
    }
}

}  // namespace
