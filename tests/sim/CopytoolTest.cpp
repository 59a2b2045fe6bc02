// Copytools: registration, receiving action lists, and copy actions that
// archive, release and restore files.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "SimFixture.h"

namespace simtest {
namespace {

// One received item, copied out of the library's buffer.
// (The Lustre records end in flexible arrays, so they come last.)
struct Item {
    std::string data;
    hsm_action_item hai;
};

struct List {
    std::string fsname;
    std::vector<Item> items;
    hsm_action_list hal;
};

class SimCopytoolTest : public SimTest {
protected:
    void TearDown() override
    {
        for (auto*& ct : copytools)
            if (ct) {
                EXPECT_EQ(api.copytool_unregister(&ct), 0);
            }
        SimTest::TearDown();
    }

    hsm_copytool_private* Register(std::vector<int> archives, int flags = O_NONBLOCK)
    {
        hsm_copytool_private* ct = nullptr;
        EXPECT_EQ(api.copytool_register(&ct, mnt.c_str(), static_cast<int>(archives.size()), archives.data(), flags),
                  0);
        copytools.push_back(ct);
        return ct;
    }

    // Receives one list and checks its packing while copying it out.
    int Recv(hsm_copytool_private* ct, List& list)
    {
        hsm_action_list* hal = nullptr;
        int size = 0;
        const int rc = api.copytool_recv(ct, &hal, &size);
        if (rc != 0) return rc;
        const char* base = reinterpret_cast<const char*>(hal);
        memcpy(&list.hal, base, sizeof list.hal);
        list.fsname = hal->hal_fsname;
        EXPECT_EQ(list.hal.hal_version, 1u);
        size_t offset = (sizeof(hsm_action_list) + list.fsname.size() + 1 + 7) / 8 * 8;
        list.items.clear();
        for (unsigned i = 0; i < list.hal.hal_count; ++i) {
            EXPECT_EQ(offset % 8, 0u);
            Item item;
            memcpy(&item.hai, base + offset, sizeof item.hai);
            EXPECT_GE(item.hai.hai_len, sizeof(hsm_action_item));
            item.data.assign(base + offset + sizeof(hsm_action_item), item.hai.hai_len - sizeof(hsm_action_item));
            list.items.push_back(item);
            offset += (item.hai.hai_len + 7) / 8 * 8;
        }
        EXPECT_EQ(offset, static_cast<size_t>(size));
        return 0;
    }

    // Does what a copytool does with one item: ARCHIVE copies the file to
    // <archive>/<fid>, RESTORE copies it back. Returns end()'s result.
    int Perform(hsm_copytool_private* ct, const hsm_action_item& hai, const std::string& archiveDir, int errval = 0,
                int hpFlags = 0)
    {
        hsm_copyaction_private* hcp = nullptr;
        int rc = api.action_begin(&hcp, ct, &hai, -1, 0, false);
        if (rc != 0) return rc;
        EXPECT_NE(hcp, nullptr);
        lu_fid dfid{};
        EXPECT_EQ(api.action_get_dfid(hcp, &dfid), 0);
        const std::string copy = archiveDir + "/" + FidText(hai.hai_fid);
        const int fd = api.action_get_fd(hcp);
        EXPECT_GE(fd, 0);
        hsm_extent done{0, 0};
        if (fd >= 0 && errval == 0) {
            if (hai.hai_action == HSMA_ARCHIVE) {
                EXPECT_EQ(dfid, hai.hai_fid);
                std::string data;
                char buf[7];  // small, to report progress more than once
                for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
                    data.append(buf, static_cast<size_t>(n));
                    hsm_extent step{done.offset + done.length, static_cast<unsigned long long>(n)};
                    EXPECT_EQ(api.action_progress(hcp, &step, 0, 0), 0);
                    done.length += static_cast<unsigned long long>(n);
                }
                std::ofstream(copy, std::ios::binary) << data;
            } else {
                EXPECT_FALSE(dfid == hai.hai_fid);  // the volatile file's FID
                const std::string data = ReadFile(copy);
                EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
                done.length = data.size();
                EXPECT_EQ(api.action_progress(hcp, &done, data.size(), 0), 0);
            }
        }
        if (fd >= 0) close(fd);
        rc = api.action_end(&hcp, &done, hpFlags, errval);
        EXPECT_EQ(hcp, nullptr);
        return rc;
    }

    // Receives one list holding one item for path.
    Item RecvOne(hsm_copytool_private* ct, const std::string& path, unsigned action)
    {
        List list;
        EXPECT_EQ(Recv(ct, list), 0);
        EXPECT_EQ(list.items.size(), 1u);
        if (list.items.size() != 1) return {};
        EXPECT_EQ(list.items[0].hai.hai_action, action);
        EXPECT_EQ(list.items[0].hai.hai_fid, FidOf(path));
        return list.items[0];
    }

    std::vector<hsm_copytool_private*> copytools;
};

TEST_F(SimCopytoolTest, ArchiveReleaseRestoreGiveBackTheSameBytes)
{
    std::string content;
    for (int i = 0; i < 1000; ++i) content += static_cast<char>(i * 7);
    const std::string path = MakeFile("dir/file.bin", content);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);  // HSM works whatever the permissions
    struct stat before, now;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    hsm_copytool_private* ct = Register({1}, 0);

    // Another process asks for the archive; this blocking receive picks it
    // up, with the FID this process sees.
    const testsupport::Outcome asked = Tool({"lfs", "hsm_archive", "-D", "tag=7", path});
    ASSERT_EQ(asked.status, 0) << asked.err;
    List list;
    ASSERT_EQ(Recv(ct, list), 0);
    EXPECT_EQ(list.fsname, "lustre");
    EXPECT_EQ(list.hal.hal_archive_id, 1u);
    ASSERT_EQ(list.hal.hal_count, 1u);
    const hsm_action_item& hai = list.items[0].hai;
    EXPECT_EQ(hai.hai_action, static_cast<unsigned>(HSMA_ARCHIVE));
    EXPECT_EQ(hai.hai_fid, FidOf(path));
    EXPECT_EQ(list.items[0].data, "tag=7");
    EXPECT_EQ(hai.hai_extent.offset, 0u);
    EXPECT_EQ(hai.hai_extent.length, ~0ULL);
    EXPECT_EQ(Perform(ct, hai, archive1), 0);
    EXPECT_EQ(ReadFile(archive1 + "/" + FidText(hai.hai_fid)), content);

    // Released: same size and time, the data is gone; releasing again is done.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Submit(path, HUA_RELEASE, 0), 0);
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    EXPECT_EQ(now.st_size, before.st_size);
    EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(ReadFile(path), std::string(content.size(), '\0'));

    ASSERT_EQ(Submit(path, HUA_RESTORE, 0), 0);
    const Item restore = RecvOne(ct, path, HSMA_RESTORE);
    hsm_copyaction_private* hcp = nullptr;
    EXPECT_EQ(api.action_begin(&hcp, ct, &restore.hai, 2, 0, false), -EINVAL);  // MDTs 0 and 1 only
    EXPECT_EQ(Perform(ct, restore.hai, archive1), 0);
    EXPECT_EQ(ReadFile(path), content);
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(now.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(now.st_mode & 07777, 0444u);

    // Still archived and unchanged: archiving again is not needed, and
    // removing the only copy of a released file's data is refused.
    hsm_copytool_private* probe = Register({0});
    EXPECT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    EXPECT_EQ(Submit(path, HUA_RELEASE, 0), 0);
    EXPECT_EQ(Submit(path, HUA_REMOVE, 0), -EPERM);
    EXPECT_EQ(Recv(probe, list), -EAGAIN);
}

TEST_F(SimCopytoolTest, ChangedFilesAreDirtyAndCannotBeReleased)
{
    const std::string path = MakeFile("f", "version 1");
    hsm_copytool_private* ct = Register({1});
    ASSERT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    ASSERT_EQ(Perform(ct, RecvOne(ct, path, HSMA_ARCHIVE).hai, archive1), 0);
    std::ofstream(path, std::ios::app) << ", version 2";
    EXPECT_EQ(Submit(path, HUA_RELEASE, 0), -EPERM);

    // A dirty file is archived again; a change during the copy fails it.
    ASSERT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    const Item second = RecvOne(ct, path, HSMA_ARCHIVE);
    hsm_copyaction_private* hcp = nullptr;
    ASSERT_EQ(api.action_begin(&hcp, ct, &second.hai, -1, 0, false), 0);
    std::ofstream(path, std::ios::app) << ", version 3";
    hsm_extent all{0, 100};
    EXPECT_EQ(api.action_end(&hcp, &all, 0, 0), -EBUSY);
    EXPECT_EQ(hcp, nullptr);
    EXPECT_EQ(Submit(path, HUA_RELEASE, 0), -EPERM);
}

TEST_F(SimCopytoolTest, EachCopytoolGetsOnlyItsArchives)
{
    const std::string a = MakeFile("a"), b = MakeFile("b"), c = MakeFile("c");
    hsm_copytool_private* one = Register({1});
    hsm_copytool_private* two = Register({2, 5});
    ASSERT_EQ(Submit(a, HUA_ARCHIVE, 2), 0);
    ASSERT_EQ(Submit(b, HUA_ARCHIVE, 1), 0);
    ASSERT_EQ(Submit(c, HUA_ARCHIVE, 3), 0);
    // Archive 3 waits for a copytool that serves it: 0 in the list means all.
    const std::tuple<hsm_copytool_private*, unsigned, std::string> rows[] = {
        {one, 1, b}, {two, 2, a}, {Register({4, 0}), 3, c}};
    for (const auto& [ct, archive, path] : rows) {
        SCOPED_TRACE(archive);
        List list;
        ASSERT_EQ(Recv(ct, list), 0);
        EXPECT_EQ(list.hal.hal_archive_id, archive);
        ASSERT_EQ(list.items.size(), 1u);
        EXPECT_EQ(list.items[0].hai.hai_fid, FidOf(path));
        EXPECT_EQ(Recv(ct, list), -EAGAIN);
    }
}

TEST_F(SimCopytoolTest, OneListPerRequestWithUniqueCookies)
{
    const std::vector<std::string> paths = {MakeFile("x"), MakeFile("yy"), MakeFile("zzz")};
    std::unique_ptr<hsm_user_request, decltype(&free)> hur(api.user_request_alloc(3, 3), &free);
    hur->hur_request = {HUA_ARCHIVE, 1, 0, 3, 3};
    for (int i = 0; i < 3; ++i) {
        lu_fid fid = FidOf(paths[static_cast<size_t>(i)]);
        memcpy(&hur->hur_user_item[i].hui_fid, &fid, sizeof fid);
    }
    memcpy(reinterpret_cast<char*>(hur.get()) + sizeof(hsm_user_request) + 3 * sizeof(hsm_user_item), "abc", 3);
    ASSERT_EQ(api.request(mnt.c_str(), hur.get()), 0);
    ASSERT_EQ(Submit(MakeFile("later"), HUA_ARCHIVE, 1), 0);

    hsm_copytool_private* ct = Register({1});
    List first, second;
    ASSERT_EQ(Recv(ct, first), 0);
    ASSERT_EQ(Recv(ct, second), 0);
    ASSERT_EQ(first.items.size(), 3u);
    ASSERT_EQ(second.items.size(), 1u);
    EXPECT_NE(first.hal.hal_compound_id, second.hal.hal_compound_id);
    std::set<unsigned long long> cookies;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(first.items[i].hai.hai_fid, FidOf(paths[i]));
        EXPECT_EQ(first.items[i].data, "abc");  // 75 bytes: the next item is padded to 80
        cookies.insert(first.items[i].hai.hai_cookie);
    }
    cookies.insert(second.items[0].hai.hai_cookie);
    EXPECT_EQ(cookies.size(), 4u);
}

TEST_F(SimCopytoolTest, UnregisterWakesABlockedReceive)
{
    hsm_copytool_private* ct = Register({1}, 0);
    auto waiting = std::async(std::launch::async, [&] {
        hsm_action_list* hal = nullptr;
        int size = 0;
        return api.copytool_recv(ct, &hal, &size);
    });
    // Give the receive time to start waiting; the result is the same if it has not.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(api.copytool_unregister(&copytools.back()), 0);
    EXPECT_EQ(copytools.back(), nullptr);
    EXPECT_EQ(waiting.get(), -ESHUTDOWN);
}

// As Lustre's copytool stops: a signal handler unregisters while the same
// thread waits in a receive, which then ends with EINTR instead of waiting on.
decltype(&llapi_hsm_copytool_unregister) g_unregister;
hsm_copytool_private* g_signalled;
int g_unregisterRc = 1;

TEST_F(SimCopytoolTest, UnregisterInASignalHandlerEndsTheReceive)
{
    g_unregister = api.copytool_unregister;
    g_signalled = Register({1}, 0);
    copytools.pop_back();  // the handler unregisters it
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) { g_unregisterRc = g_unregister(&g_signalled); };  // no SA_RESTART, as Lustre's
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    const itimerval in100ms{{0, 0}, {0, 100000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &in100ms, nullptr), 0);
    hsm_action_list* hal = reinterpret_cast<hsm_action_list*>(&g_unregisterRc);
    int size = -1;
    EXPECT_EQ(api.copytool_recv(g_signalled, &hal, &size), -EINTR);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(g_unregisterRc, 0);
    EXPECT_EQ(g_signalled, nullptr);
    EXPECT_EQ(hal, nullptr);
    EXPECT_EQ(size, 0);
}

TEST_F(SimCopytoolTest, CopyActionMisuseIsRefused)
{
    const std::string path = MakeFile("f");
    hsm_copytool_private* ct = Register({1});
    hsm_copytool_private* other = Register({1});
    ASSERT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    const Item item = RecvOne(ct, path, HSMA_ARCHIVE);

    hsm_copyaction_private* hcp = nullptr;
    hsm_action_item forged = item.hai;
    forged.hai_cookie += 1000;
    EXPECT_EQ(api.action_begin(&hcp, ct, &forged, -1, 0, false), -ENOENT);
    EXPECT_EQ(api.action_begin(&hcp, other, &item.hai, -1, 0, false), -ENOENT);  // not handed to it
    EXPECT_EQ(api.action_begin(&hcp, ct, nullptr, -1, 0, false), -EINVAL);
    EXPECT_EQ(api.action_begin(nullptr, ct, &item.hai, -1, 0, false), -EINVAL);
    EXPECT_EQ(hcp, nullptr);

    // is_error only prepares the handle to report a failure: no descriptor.
    ASSERT_EQ(api.action_begin(&hcp, ct, &item.hai, -1, 0, true), 0);
    EXPECT_EQ(api.action_get_fd(hcp), -EBADF);
    EXPECT_EQ(api.action_get_dfid(hcp, nullptr), -EINVAL);
    EXPECT_EQ(api.action_end(&hcp, nullptr, 0, 0), -EINVAL);  // the handle stays
    ASSERT_NE(hcp, nullptr);
    hsm_copyaction_private* stale = hcp;
    hsm_extent none{0, 0};
    // Ending with RETRY puts the action back in the queue.
    EXPECT_EQ(api.action_end(&hcp, &none, HP_FLAG_RETRY, EIO), 0);
    EXPECT_EQ(hcp, nullptr);
    EXPECT_EQ(api.action_get_fd(stale), -EINVAL);
    EXPECT_EQ(api.action_progress(stale, &none, 0, 0), -EINVAL);
    EXPECT_EQ(api.action_end(&stale, &none, 0, 0), -EINVAL);

    const Item again = RecvOne(ct, path, HSMA_ARCHIVE);
    EXPECT_EQ(again.hai.hai_cookie, item.hai.hai_cookie);
    EXPECT_EQ(Perform(ct, again.hai, archive1, EIO), 0);  // failed for good: gone
    List list;
    EXPECT_EQ(Recv(ct, list), -EAGAIN);
    EXPECT_EQ(Submit(path, HUA_RELEASE, 0), -EPERM);  // never archived
}

TEST_F(SimCopytoolTest, ActionsOfADeadCopytoolAreHandedOutAgain)
{
    const std::string path = MakeFile("f");
    ASSERT_EQ(Submit(path, HUA_ARCHIVE, 1), 0);
    const pid_t child = fork();
    if (child == 0) {  // takes the action and dies without ending it
        hsm_copytool_private* ct = nullptr;
        hsm_action_list* hal = nullptr;
        int size = 0;
        _exit(api.copytool_register(&ct, mnt.c_str(), 0, nullptr, O_NONBLOCK) || api.copytool_recv(ct, &hal, &size));
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    hsm_copytool_private* ct = Register({1});
    EXPECT_EQ(Perform(ct, RecvOne(ct, path, HSMA_ARCHIVE).hai, archive1), 0);
}

// An ARCHIVE without an archive id goes to each file's own archive: one
// list per archive. The state's archive id and flags can be changed
// afterwards, within the MDT's rules.
TEST_F(SimCopytoolTest, ARequestIsSplitByArchive)
{
    const std::string a = MakeFile("a"), b = MakeFile("b");
    hsm_copytool_private* ct = Register({0});
    ASSERT_EQ(Submit(a, HUA_ARCHIVE, 2), 0);
    ASSERT_EQ(Perform(ct, RecvOne(ct, a, HSMA_ARCHIVE).hai, archive2), 0);
    std::ofstream(a, std::ios::app) << " changed";
    ASSERT_EQ(Tool({"lfs", "hsm_archive", a, b}).status, 0);
    for (const auto& [archive, path] : {std::pair{2u, a}, std::pair{1u, b}}) {
        List list;
        ASSERT_EQ(Recv(ct, list), 0);
        EXPECT_EQ(list.hal.hal_archive_id, archive);
        ASSERT_EQ(list.items.size(), 1u);
        EXPECT_EQ(list.items[0].hai.hai_fid, FidOf(path));
        EXPECT_EQ(Perform(ct, list.items[0].hai, archive == 1 ? archive1 : archive2), 0);
    }
    EXPECT_EQ(Tool({"lfs", "hsm_state", b}).out, b + ": (0x00000009) exists archived, archive_id:1\n");
    // Released needs archived; only root may set either.
    EXPECT_EQ(api.state_set(a.c_str(), HS_RELEASED, HS_ARCHIVED, 0), geteuid() == 0 ? -EINVAL : -EPERM);
    ASSERT_EQ(api.state_set(a.c_str(), HS_NORELEASE, 0, 1), 0);
    EXPECT_EQ(Tool({"lfs", "hsm_state", a}).out, a + ": (0x00000019) exists archived never_release, archive_id:1\n");
}

// While the file system is watched, the end of each copy action and each
// release is one HSM record, errors in the low bits of its flags.
TEST_F(SimCopytoolTest, ActionsOfAWatchedFileSystemAreLogged)
{
    const std::string path = MakeFile("f", "archived data");
    const std::string fid = FidText(FidOf(path));
    ASSERT_EQ(Tool({"lustre-sim", "watch", "lustre"}).status, 0);
    hsm_copytool_private* ct = Register({1});
    for (const auto& [action, errval] :
         {std::pair{HUA_ARCHIVE, EIO}, {HUA_ARCHIVE, 0}, {HUA_RELEASE, 0}, {HUA_RESTORE, 0}}) {
        ASSERT_EQ(Submit(path, action, 1), 0);
        if (action != HUA_RELEASE) {
            const unsigned hsma = action == HUA_ARCHIVE ? HSMA_ARCHIVE : HSMA_RESTORE;
            EXPECT_EQ(Perform(ct, RecvOne(ct, path, hsma).hai, archive1, errval), 0);
        }
    }
    EXPECT_EQ(ReadFile(path), "archived data");
    ASSERT_EQ(Tool({"lustre-sim", "unwatch", "lustre"}).status, 0);
    std::istringstream in(Tool({"lfs", "changelog", "lustre-MDT0000"}).out);
    std::string records;
    for (std::string index, type, time, date, flags, target, rest;
         in >> index >> type >> time >> date >> flags >> target && std::getline(in, rest);)
        records += type + " " + flags + " " + target + "\n";
    EXPECT_EQ(records, "16HSM 0x5 t=" + fid + "\n16HSM 0x0 t=" + fid + "\n16HSM 0x180 t=" + fid +
                           "\n16HSM 0x80 t=" + fid + "\n");
}

}  // namespace
}  // namespace simtest
