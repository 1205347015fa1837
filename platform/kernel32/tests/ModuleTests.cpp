// Modules: "name.dll" as libname.so beside the executable.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

TEST(Kernel32Module, MissingLibraryFailsWithLastError) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("NoSuchLibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleA("NoSuchLibrary.dll"), nullptr);
}

TEST(Kernel32Module, NameWithoutCaseFindsLibraryBesideExecutable) {
    HMODULE module = LoadLibraryA("K32TestMod.DLL");
    ASSERT_NE(module, nullptr);
    using Answer = int (*)();
    const auto answer = reinterpret_cast<Answer>(GetProcAddress(module, "K32TestModuleAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(GetProcAddress(module, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    // A function of a library the module depends on is not the module's own.
    EXPECT_EQ(GetProcAddress(module, "malloc"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    char path[4096];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    EXPECT_NE(std::string(path, length).find("/libk32testmod.so"), std::string::npos);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Kernel32Module, LoadsAreCounted) {
    HMODULE first = LoadLibraryA("k32testmod.dll");
    HMODULE second = LoadLibraryA("K32TESTMOD");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(GetModuleHandleA("k32testmod.dll"), first);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleA("k32testmod.dll"), first) << "one load is still held";
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(GetModuleHandleA("k32testmod.dll"), nullptr) << "the last release unloads";
    EXPECT_FALSE(FreeLibrary(first));
}

TEST(Kernel32Module, KernelLibraryIsFoundBesideTheTest) {
    HMODULE module = LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "_Z12GetTickCountv"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(Kernel32Module, FileNameOfExecutable) {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::string(path, length).substr(std::string(path, length).rfind('/') + 1), "kernel32_tests");
    char small[8];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
    EXPECT_EQ(small[7], '\0');
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}
