// The dynamic-library loader.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "CKxLibrary.h"

namespace {

TEST(CKxLibrary, LoadsByNameThroughTheSearchPathAndFindsSymbols) {
    CKxLibrary loader(false);
    CKxError error = loader.Load(LOADER_TARGET_NAME, false);
    ASSERT_FALSE(error.Failed()) << error.ToString();
    void* address = nullptr;
    error = loader.GetAddress("kx_loader_answer", address);
    ASSERT_FALSE(error.Failed()) << error.ToString();
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
}

TEST(CKxLibrary, StaysLoadedAfterTheLoaderIsGone) {
    void* address = nullptr;
    {
        CKxLibrary loader(false);
        ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, true).Failed());
        ASSERT_FALSE(loader.GetAddress("kx_loader_answer", address).Failed());
    }
    void* stillThere = dlopen(LOADER_TARGET_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(stillThere, nullptr);
    dlclose(stillThere);  // drops only the reference RTLD_NOLOAD took
    EXPECT_EQ(reinterpret_cast<int (*)()>(address)(), 42);
}

TEST(CKxLibrary, FailedLoadCarriesTheLoadersText) {
    CKxLibrary loader(false);
    CKxError error = loader.Load("libkx-no-such-library.so", false);
    ASSERT_TRUE(error.Failed());
    EXPECT_EQ(error.GetSystemError(), 126);
    EXPECT_EQ(error.GetMessages(),
              std::vector<std::string>{"dlopen(libkx-no-such-library.so): libkx-no-such-library.so: "
                                       "cannot open shared object file: No such file or directory"});
    void* address = reinterpret_cast<void*>(1);
    error = loader.GetAddress("kx_loader_answer", address);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"dlsym(kx_loader_answer): no library loaded"});
    EXPECT_EQ(address, reinterpret_cast<void*>(1));
}

TEST(CKxLibrary, BadNamesAreErrors) {
    CKxLibrary loader(false);
    EXPECT_EQ(loader.Load(nullptr, false).GetMessages(), std::vector<std::string>{"dlopen: no library name given"});
    EXPECT_EQ(loader.Load("", false).GetMessages(), std::vector<std::string>{"dlopen: no library name given"});
    ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, false).Failed());
    void* address = nullptr;
    EXPECT_EQ(loader.GetAddress(nullptr, address).GetMessages(),
              std::vector<std::string>{"dlsym: no symbol name given"});
}

TEST(CKxLibrary, FailedLookUpCarriesTheLoadersTextAndLeavesAddress) {
    CKxLibrary loader(false);
    ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, false).Failed());
    void* address = nullptr;
    CKxError error = loader.GetAddress("llapi_no_such_entry", address);
    ASSERT_TRUE(error.Failed());
    EXPECT_EQ(error.GetSystemError(), 127);
    EXPECT_EQ(error.GetMessages(), std::vector<std::string>{"dlsym(llapi_no_such_entry): " LOADER_TARGET_PATH
                                                            ": undefined symbol: llapi_no_such_entry"});
    EXPECT_EQ(address, nullptr);
}

TEST(CKxLibrary, SymbolAtNullAddressIsFound) {
    CKxLibrary loader(false);
    ASSERT_FALSE(loader.Load(LOADER_TARGET_PATH, false).Failed());
    void* address = reinterpret_cast<void*>(1);
    CKxError error = loader.GetAddress("kx_null_symbol", address);
    EXPECT_FALSE(error.Failed()) << error.ToString();
    EXPECT_EQ(address, nullptr);
}

}  // namespace
