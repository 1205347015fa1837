// The program's own path and the parts of file names.

#include "SysUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgramPath, NamesThisExecutable) {
    const std::string path = ParamStr0();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(ExtractFileName(path), "test_rtl");
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ExeDir() + "test_rtl", path);
    EXPECT_EQ(ExeDir().back(), '/');
}

TEST(ProgramPath, FileNameParts) {
    EXPECT_EQ(ExtractFilePath("/opt/lok/Sounds/Luefter.wav"), "/opt/lok/Sounds/");
    EXPECT_EQ(ExtractFileName("/opt/lok/Sounds/Luefter.wav"), "Luefter.wav");
    EXPECT_EQ(ExtractFilePath("Luefter.wav"), "");
    EXPECT_EQ(ExtractFileName("Luefter.wav"), "Luefter.wav");
    EXPECT_EQ(ExtractFilePath("/opt/lok/"), "/opt/lok/");
    EXPECT_EQ(ExtractFileName("/opt/lok/"), "");
}

TEST(ProgramPath, FileExistsOnlyForFiles) {
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists(ExeDir()));
    EXPECT_FALSE(FileExists(ExeDir() + "no-such-file.wav"));
}

}  // namespace
