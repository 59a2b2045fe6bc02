// "lustre-sim watch": file activity and the copytool flow in a watched mount
// become changelog records with the stand-in library's FIDs.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "SimFixture.h"

namespace simtest {
namespace {

const std::string kSim = std::string(LUSTRESIM_BIN_DIR) + "/lustre-sim";

// A process is gone when it is not there or only a zombie.
bool Running(const std::string& pid)
{
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string self, comm, state;
    return stat >> self >> comm >> state && state != "Z";
}

class WatcherTest : public SimTest {
protected:
    void TearDown() override
    {
        // Never leave a watcher behind, whatever failed.
        for (const auto& pid : started)
            if (Running(pid)) {
                Sim({"unwatch", "lustre"});
                if (Running(pid)) kill(std::stoi(pid), SIGKILL);
            }
        SimTest::TearDown();
    }

    testsupport::Outcome Sim(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {kSim};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::Run(argv);
    }
    void Expect(const std::vector<std::string>& args)
    {
        const testsupport::Outcome o = Sim(args);
        ASSERT_EQ(o.status, 0) << args[0] << ": " << o.err;
    }
    // Starts the watcher of "lustre"; its pid.
    std::string Watch()
    {
        Expect({"watch", "lustre"});
        std::string pid;
        std::ifstream(sandbox.dir / "watch/lustre/pid") >> pid;
        started.push_back(pid);
        return pid;
    }
    void Flush() { Expect({"watch-flush", "lustre"}); }

    // The records of an MDT after a flush, without their index and time.
    std::vector<std::string> Records(int mdt)
    {
        Flush();
        std::istringstream in(Sim({"changelog-print", "lustre-MDT000" + std::to_string(mdt)}).out);
        std::vector<std::string> lines;
        for (std::string index, type, time, date, rest; in >> index >> type >> time >> date && std::getline(in, rest);)
            lines.push_back(type + rest);
        return lines;
    }

    // A record as a 2.15 client prints it, the owner being this process.
    std::string Line(const std::string& type, const char* flags, const lu_fid& t, const lu_fid* p = nullptr,
                     const std::string& name = "", const std::string& rename = "")
    {
        // Lustre's DFID prints a zero sequence as "0".
        const std::string target = t.f_seq == 0 && t.f_oid == 0 && t.f_ver == 0 ? "[0:0x0:0x0]" : FidText(t);
        std::string line = type + " " + flags + " t=" + target + " ef=0xf u=" + std::to_string(getuid()) + ":" +
                           std::to_string(getgid()) + " nid=0@lo";
        if (p) line += " p=" + FidText(*p);
        if (!name.empty()) line += " " + name;
        return line + rename;
    }

    static int MdtOf(const lu_fid& fid) { return static_cast<int>((fid.f_seq - 0x200000400ULL) >> 30); }

    const lu_fid root{0x200000007ULL, 1, 0};
    std::vector<std::string> started;
};

void Write(const std::string& path, const std::string& data)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
}

TEST_F(WatcherTest, FileLifeGivesItsRecordsInOrderWithTheLibrarysFids)
{
    const std::string images = MakeDir("images");
    const lu_fid dir = FidOf(images);
    Watch();
    const std::string first = images + "/scan-0001.raw", second = images + "/scan-0002.raw";
    Write(first, "pixels");
    const lu_fid file = FidOf(first);
    ASSERT_EQ(rename(first.c_str(), second.c_str()), 0);
    // Attribute changes are told apart by comparing the file with what the
    // watcher saw last: let it look before each.
    Flush();
    ASSERT_EQ(chmod(second.c_str(), 0600), 0);
    Flush();
    ASSERT_EQ(truncate(second.c_str(), 2), 0);
    Flush();
    ASSERT_EQ(unlink(second.c_str()), 0);
    const std::string renamed = " s=" + FidText(file) + " sp=" + FidText(dir) + " scan-0001.raw";
    EXPECT_EQ(Records(MdtOf(dir)),
              (std::vector<std::string>{
                  Line("01CREAT", "0x0", file, &dir, "scan-0001.raw"), Line("11CLOSE", "0x2", file),
                  Line("08RENME", "0x0", lu_fid{}, &dir, "scan-0002.raw", renamed), Line("14SATTR", "0x0", file),
                  Line("13TRUNC", "0x0", file), Line("06UNLNK", "0x1", file, &dir, "scan-0002.raw")}));

    // 2.10 clients print no extra fields, and a parent only with a name.
    Expect({"version", "2.10"});
    std::istringstream in(Sim({"changelog-print", "lustre-MDT000" + std::to_string(MdtOf(dir))}).out);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find(" 0x0 t=" + FidText(file) + " p=" + FidText(dir) + " scan-0001.raw"), std::string::npos)
        << line;
}

TEST_F(WatcherTest, ObjectRenamedBeforeTheWatcherLooksKeepsItsFid)
{
    Watch();
    const std::string first = mnt + "/new", second = mnt + "/renamed";
    // The watcher waits for the library's lock while the file moves on.
    const int lock = open((sandbox.dir / "lib/lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    Write(first, "x");
    ASSERT_EQ(rename(first.c_str(), second.c_str()), 0);
    close(lock);
    const lu_fid fid = FidOf(second);
    const std::vector<std::string> records = Records(0);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0], Line("01CREAT", "0x0", fid, &root, "new"));
}

TEST_F(WatcherTest, TreesLinksAndSymlinks)
{
    Watch();
    // A new directory is watched once the watcher has seen it: what is
    // written in it before is not seen.
    std::filesystem::create_directories(mnt + "/d/b/c");
    Flush();
    Write(mnt + "/d/b/c/f", "x");
    const lu_fid a = FidOf(mnt + "/d"), b = FidOf(mnt + "/d/b"), c = FidOf(mnt + "/d/b/c"), f = FidOf(mnt + "/d/b/c/f");
    ASSERT_EQ(link((mnt + "/d/b/c/f").c_str(), (mnt + "/d/g").c_str()), 0);
    ASSERT_EQ(symlink("b/c/f", (mnt + "/d/s").c_str()), 0);
    const lu_fid s = FidOf(mnt + "/d/s");
    // The watcher learns what a name holds when it looks: a link gone by then
    // would be a new object to it.
    Flush();
    ASSERT_EQ(unlink((mnt + "/d/b/c/f").c_str()), 0);  // one of two links
    std::filesystem::remove_all(mnt + "/d");

    // The top directory is named on the root's MDT; what is below it on its own.
    ASSERT_EQ(MdtOf(a), 1);
    EXPECT_EQ(Records(0),
              (std::vector<std::string>{Line("02MKDIR", "0x0", a, &root, "d"), Line("07RMDIR", "0x1", a, &root, "d")}));
    std::vector<std::string> below = Records(1);
    const std::vector<std::string> made = {Line("02MKDIR", "0x0", b, &a, "b"), Line("02MKDIR", "0x0", c, &b, "c"),
                                           Line("01CREAT", "0x0", f, &c, "f"), Line("11CLOSE", "0x2", f),
                                           Line("03HLINK", "0x0", f, &a, "g"), Line("04SLINK", "0x0", s, &a, "s"),
                                           Line("06UNLNK", "0x0", f, &c, "f")};
    ASSERT_EQ(below.size(), made.size() + 4) << testing::PrintToString(below);
    EXPECT_EQ(std::vector<std::string>(below.begin(), below.begin() + made.size()), made);
    // remove_all's order among siblings is the directory's.
    std::vector<std::string> removed(below.begin() + made.size(), below.end());
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected = {Line("06UNLNK", "0x1", f, &a, "g"), Line("06UNLNK", "0x1", s, &a, "s"),
                                         Line("07RMDIR", "0x1", b, &a, "b"), Line("07RMDIR", "0x1", c, &b, "c")};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
}

TEST_F(WatcherTest, CopytoolFlowGivesHsmRecordsAndNoDataRecords)
{
    const std::string path = MakeFile("f", "archived data");
    const lu_fid fid = FidOf(path);
    Watch();
    hsm_copytool_private* ct = nullptr;
    ASSERT_EQ(api.copytool_register(&ct, mnt.c_str(), 0, nullptr, O_NONBLOCK), 0);
    // Each end: one record, errors in the low bits.
    auto perform = [&](int action, int errval) {
        ASSERT_EQ(Submit(path, action, 1), 0);
        hsm_action_list* hal = nullptr;
        int size = 0;
        ASSERT_EQ(api.copytool_recv(ct, &hal, &size), 0);
        hsm_action_item hai;
        memcpy(&hai, reinterpret_cast<char*>(hal) + (sizeof *hal + strlen(hal->hal_fsname) + 1 + 7) / 8 * 8,
               sizeof hai);
        hsm_copyaction_private* hcp = nullptr;
        ASSERT_EQ(api.action_begin(&hcp, ct, &hai, -1, 0, false), 0);
        if (action == HUA_RESTORE) {
            const int fd = api.action_get_fd(hcp);
            ASSERT_EQ(write(fd, "archived data", 13), 13);
            close(fd);
        }
        hsm_extent done{0, 13};
        api.action_end(&hcp, &done, 0, errval);
    };
    perform(HUA_ARCHIVE, EIO);
    perform(HUA_ARCHIVE, 0);
    ASSERT_EQ(Submit(path, HUA_RELEASE, 0), 0);
    perform(HUA_RESTORE, 0);
    EXPECT_EQ(ReadFile(path), "archived data");
    EXPECT_EQ(api.copytool_unregister(&ct), 0);
    EXPECT_EQ(Records(0), (std::vector<std::string>{Line("16HSM", "0x5", fid), Line("16HSM", "0x0", fid),
                                                    Line("16HSM", "0x180", fid), Line("16HSM", "0x80", fid)}));
}

TEST_F(WatcherTest, AppendedRecordsOfExistingPathsCarryTheirFids)
{
    const lu_fid file = FidOf(MakeFile("images/scan-0001.raw")), dir = FidOf(mnt + "/images");
    Expect({"changelog-append", "lustre-MDT0000", "CREAT", "--name", "images/scan-0001.raw"});
    std::istringstream in(Sim({"changelog-print", "lustre-MDT0000"}).out);
    std::string index, type, time, date, rest;
    ASSERT_TRUE(in >> index >> type >> time >> date && std::getline(in, rest));
    EXPECT_EQ(type + rest, Line("01CREAT", "0x0", file, &dir, "scan-0001.raw"));
    EXPECT_EQ(Sim({"changelog-append", "lustre-MDT0000", "CREAT", "--name", "scans/x"}).err,
              "lustre-sim: no directory scans in lustre\n");
}

TEST_F(WatcherTest, WatcherStartsOnceStopsCleanlyAndEndsWithItsState)
{
    const std::string pid = Watch();
    ASSERT_TRUE(Running(pid));
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"watch", "lustre"}, "lustre-sim: file system lustre is watched already\n"},
        {{"watch", "other"}, "lustre-sim: no file system other\n"},
        {{"unwatch", "other"}, "lustre-sim: no file system other\n"}};
    for (const auto& [args, err] : refused) EXPECT_EQ(Sim(args).err, err) << args[0];
    MakeFile("late", "x");
    Expect({"unwatch", "lustre"});
    EXPECT_FALSE(Running(pid));
    EXPECT_NE(Sim({"changelog-print", "lustre-MDT0000"}).out.find(" 01CREAT "), std::string::npos);
    EXPECT_EQ(Sim({"unwatch", "lustre"}).err, "lustre-sim: no watcher of lustre runs\n");

    // A watcher whose state directory is removed ends by itself.
    const std::string orphan = Watch();
    std::error_code ignored;  // the watcher removes its files as it ends
    std::filesystem::remove_all(sandbox.dir / "watch", ignored);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Running(orphan) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(Running(orphan));
}

}  // namespace
}  // namespace simtest
