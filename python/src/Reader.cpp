// lustreapi.ChangelogReader: an MDT's changelog as an iterator of records.
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"
#include "TimeLimit.h"

namespace py = pybind11;
using LustreAPI::CChangelogRecord;

namespace lustrepy {
namespace {

class Reader {
public:
    Reader(const std::string& mdt, unsigned long long start, bool follow) : m_follow(follow)
    {
        CheckError(m_reader.Open(mdt, start, follow));
    }

    // Opened at the first record the registered reader changelogUser has
    // not acknowledged.
    Reader(const std::string& host, const std::string& mdt, const std::string& fsName, const std::string& user,
           const std::string& changelogUser, bool follow, std::chrono::milliseconds limit)
        : m_follow(follow)
    {
        CheckError(m_reader.OpenAtReader(host, mdt, fsName, user, changelogUser, follow, limit));
    }

    // The next record; none at the end, after close(), or when timeout
    // (seconds; None: as long as it takes) passes first. A long wait is taken in steps of
    // 100 ms, with signals (KeyboardInterrupt) handled in between.
    std::optional<CChangelogRecord> Next(std::optional<double> timeout)
    {
        using Clock = std::chrono::steady_clock;
        constexpr std::chrono::milliseconds kStep(100);
        const std::chrono::milliseconds limit = TimeLimit(timeout);
        // A timeout beyond any wait (TimeLimit makes it "no limit") waits
        // as long as it takes, as None does; 0 does not wait.
        const bool forever = !timeout || (*timeout > 0 && limit.count() == 0);
        const auto deadline = Clock::now() + limit;
        CChangelogRecord record;
        for (;;) {
            bool got = false;
            std::chrono::milliseconds wait(0);
            if (m_follow) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                wait = forever ? kStep : std::max(std::chrono::milliseconds(0), std::min(kStep, left));
            }
            {
                py::gil_scoped_release release;
                // One reading thread at a time, as the reader wants it.
                const std::lock_guard<std::mutex> lock(m_next);
                const CKxError error = m_reader.Next(record, wait, got);
                // Closed by close(), maybe from another thread: the end.
                if (m_closed) return std::nullopt;
                CheckError(error);
            }
            if (got) return record;
            if (!m_follow || (!forever && Clock::now() >= deadline)) return std::nullopt;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    int Fileno() const
    {
        const int fd = m_closed ? -1 : m_reader.Descriptor();
        if (fd < 0) throw py::value_error("the changelog reader is closed");
        return fd;
    }

    void Close()
    {
        m_closed = true;
        CheckError(m_reader.Close());
    }
    bool InProcess() const { return m_reader.InProcess(); }
    bool Follow() const { return m_follow; }

private:
    LustreAPI::CChangelogReader m_reader;
    const bool m_follow;
    std::atomic<bool> m_closed{false};
    std::mutex m_next;
};

}  // namespace

void BindReader(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    Public(py::class_<Reader>(m, "ChangelogReader", PublicClass(),
                              "The changelog of mdt from record start (0: the first kept), record by\n"
                              "record, as ChangelogRecords; with follow it waits for new records\n"
                              "instead of ending. In-process through Lustre's\n"
                              "changelog calls when load() bound them, otherwise through \"lfs changelog\".\n"
                              "An iterator and a context manager (close() on leaving); fileno() for\n"
                              "select, selectors and asyncio. close() may come from another thread: the\n"
                              "iteration then ends."))
        .def(py::init<const std::string&, unsigned long long, bool>(), py::arg("mdt"), py::arg("start") = 0,
             py::arg("follow") = false, release(), "__init__(self, mdt, start=0, follow=False)\n--\n\n")
        .def_static(
            "at_reader",
            [](const std::string& host, const std::string& mdt, const std::string& fsName, const std::string& user,
               const std::string& changelogUser, bool follow, std::optional<double> timeout) {
                const std::chrono::milliseconds limit = TimeLimit(timeout);
                py::gil_scoped_release release;
                return std::make_unique<Reader>(host, mdt, fsName, user, changelogUser, follow, limit);
            },
            py::arg("host"), py::arg("mdt"), py::arg("fsname"), py::arg("user"), py::arg("changelog_user"),
            py::kw_only(), py::arg("follow") = false, py::arg("timeout") = py::none(),
            "at_reader(host, mdt, fsname, user, changelog_user, *, follow=False, timeout=None)\n--\n\n"
            "A ChangelogReader of mdt opened at the first record that the registered\n"
            "reader changelog_user (\"cl2-watcher\") has not acknowledged, read from\n"
            "mdt's changelog_users on host over ssh: where a consumer goes on after a\n"
            "crash. timeout: seconds for that command (None: no limit). A reader that\n"
            "is not listed raises LustreError (EIO).")
        .def("next", &Reader::Next, py::arg("timeout") = py::none(),
             "next(self, timeout=None)\n--\n\n"
             "The next ChangelogRecord; None at the end or, when following, once\n"
             "timeout seconds pass without one (0: only what is there already; a\n"
             "timeout beyond any wait waits as None does).")
        .def("fileno", &Reader::Fileno,
             "fileno(self)\n--\n\n"
             "A descriptor that becomes readable when a record may be there. Records may\n"
             "already wait in the reader: call next(timeout=0) until None before waiting.")
        .def("close", &Reader::Close, release(), "close(self)\n--\n\nEnds the reading. Repeatable.")
        .def_property_readonly("in_process", &Reader::InProcess, "Whether Lustre's changelog calls are used.")
        .def_property_readonly("follow", &Reader::Follow, "Whether it waits for new records at the end.")
        .def(
            "__enter__", [](py::object self) { return self; }, "__enter__(self)\n--\n\n")
        .def(
            "__exit__", [](Reader& r, const py::args&) { r.Close(); }, release(),
            "__exit__(self, type, value, traceback)\n--\n\nCloses the reader.")
        .def(
            "__iter__", [](py::object self) { return self; }, "__iter__(self)\n--\n\n")
        .def(
            "__next__",
            [](Reader& r) {
                std::optional<CChangelogRecord> record = r.Next(std::nullopt);
                if (!record) throw py::stop_iteration();
                return std::move(*record);
            },
            "__next__(self)\n--\n\nThe next ChangelogRecord, waiting for it when following.");
}

}  // namespace lustrepy
