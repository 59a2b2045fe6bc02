// The dynamic-library loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "CKxLibrary.h"

namespace {

using Messages = std::vector<std::string>;

TEST(CKxLibrary, LoadsByNameOrPathAndStaysLoadedAfterTheLoaderIsGone)
{
    void* address = nullptr;
    for (const char* name : {LOADER_TARGET_NAME, LOADER_TARGET_PATH}) {
        CKxLibrary loader(false);
        CKxError error = loader.Load(name, true);
        ASSERT_FALSE(error.Failed()) << error.ToString();
        error = loader.GetAddress("kx_loader_answer", address);
        ASSERT_FALSE(error.Failed()) << error.ToString();
        ASSERT_NE(address, nullptr);
    }
    void* stillThere = dlopen(LOADER_TARGET_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(stillThere, nullptr);
    dlclose(stillThere);  // drops only the reference RTLD_NOLOAD took
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
    // A symbol at address 0 is found.
    CKxLibrary loader(false);
    ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, false).Failed());
    address = reinterpret_cast<void*>(1);
    EXPECT_FALSE(loader.GetAddress("kx_null_symbol", address).Failed());
    EXPECT_EQ(address, nullptr);
}

// Failures carry the loader's text and leave the address alone.
TEST(CKxLibrary, FailuresCarryTheLoadersText)
{
    CKxLibrary loader(false);
    CKxError error = loader.Load("libkx-no-such-library.so", false);
    EXPECT_EQ(error.GetSystemError(), 126);
    EXPECT_EQ(error.GetMessages(), Messages{"dlopen(libkx-no-such-library.so): libkx-no-such-library.so: "
                                            "cannot open shared object file: No such file or directory"});
    void* address = reinterpret_cast<void*>(1);
    EXPECT_EQ(loader.GetAddress("kx_loader_answer", address).GetMessages(),
              Messages{"dlsym(kx_loader_answer): no library loaded"});
    EXPECT_EQ(loader.Load(nullptr, false).GetMessages(), Messages{"dlopen: no library name given"});
    EXPECT_EQ(loader.Load("", false).GetMessages(), Messages{"dlopen: no library name given"});
    ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, false).Failed());
    EXPECT_EQ(loader.GetAddress(nullptr, address).GetMessages(), Messages{"dlsym: no symbol name given"});
    error = loader.GetAddress("llapi_no_such_entry", address);
    EXPECT_EQ(error.GetSystemError(), 127);
    EXPECT_EQ(error.GetMessages(),
              Messages{"dlsym(llapi_no_such_entry): " LOADER_TARGET_PATH ": undefined symbol: llapi_no_such_entry"});
    EXPECT_EQ(address, reinterpret_cast<void*>(1));
}

}  // namespace
