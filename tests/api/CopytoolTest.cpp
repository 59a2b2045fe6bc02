// A host's copytool written against LustreAPI only: it archives a file
// through the stand-in, and the archived bytes are the file's.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ApiTestSupport.h"
#include "LustreAPI.h"

namespace {

TEST(ApiCopytool, ArchivesAFileUsingOnlyLustreAPI)
{
    ASSERT_GE(LustreAPI::LoadFunctions().GetCode(), 0);
    apitest::SimState state;
    std::string contents;
    for (int i = 0; i < 50000; ++i) contents += static_cast<char>(i * 7 + i / 251);
    const std::string file = state.WriteFile("projects/run1/output.dat", contents);

    std::string message;
    hsm_copytool_private* ct = nullptr;
    int archives[1] = {1};
    ASSERT_EQ(LustreAPI::HSMRegister(&ct, state.mount.c_str(), 1, archives, O_NONBLOCK, message), 0) << message;

    ASSERT_EQ(LustreAPI::HSMArchive(file.c_str(), nullptr, message), 0) << message;

    // Non-blocking receive, so that a stand-in fault fails the test instead of hanging it.
    hsm_action_list* hal = nullptr;
    int size = 0;
    int received = -EAGAIN;
    for (int tries = 0; tries < 500 && received == -EAGAIN; ++tries) {
        received = LustreAPI::HSMRecv(ct, &hal, &size, message);
        if (received == -EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(received, 0) << message;
    ASSERT_NE(hal, nullptr);
    ASSERT_EQ(hal->hal_count, 1u);
    EXPECT_EQ(hal->hal_archive_id, 1u);
    const char* fsname = reinterpret_cast<const char*>(hal) + sizeof(hsm_action_list);
    EXPECT_STREQ(fsname, "lustre");
    const hsm_action_item* hai = hai_first(hal);
    ASSERT_EQ(hai->hai_action, static_cast<unsigned int>(HSMA_ARCHIVE));

    hsm_copyaction_private* hcp = nullptr;
    ASSERT_EQ(LustreAPI::HSMActionBegin(&hcp, ct, hai, -1, 0, false, message), 0) << message;
    const int source = LustreAPI::HSMActionGetFD(hcp, message);
    ASSERT_GE(source, 0) << message;

    char fidText[64];
    std::snprintf(fidText, sizeof fidText, "0x%llx:0x%x:0x%x", hai->hai_fid.f_seq, hai->hai_fid.f_oid,
                  hai->hai_fid.f_ver);
    const std::string archived = state.archive + "/" + fidText;
    const int target = ::open(archived.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(target, 0);
    char buffer[8192];
    unsigned long long copied = 0;
    for (ssize_t n; (n = ::pread(source, buffer, sizeof buffer, static_cast<off_t>(copied))) > 0;) {
        ASSERT_EQ(::write(target, buffer, static_cast<size_t>(n)), n);
        const hsm_extent done{copied, static_cast<unsigned long long>(n)};
        copied += static_cast<unsigned long long>(n);
        EXPECT_EQ(LustreAPI::HSMActionProgress(hcp, &done, contents.size(), 0, message), 0) << message;
    }
    ::close(target);
    ::close(source);

    const hsm_extent whole{0, copied};
    EXPECT_EQ(LustreAPI::HSMActionEnd(&hcp, &whole, 0, 0, message), 0) << message;
    EXPECT_EQ(hcp, nullptr);
    EXPECT_EQ(LustreAPI::HSMUnregister(&ct, message), 0) << message;

    EXPECT_EQ(copied, contents.size());
    EXPECT_TRUE(apitest::ReadFile(archived) == contents) << "archived copy differs from the file";
}

}  // namespace
