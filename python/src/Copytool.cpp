// A copytool in Python: registration, action lists copied out of Lustre's
// buffer, and copy actions with their progress, end, descriptor and FID.
#include <fcntl.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"

namespace py = pybind11;
using LustreAPI::CLustreFID;

namespace lustrepy {
namespace {

// One item of an action list, copied: the list itself lives in Lustre's
// buffer only until the next receive. raw keeps the item's bytes, which
// begin() hands back to Lustre.
struct ActionItem {
    unsigned int action = 0;
    CLustreFID fid, dfid;
    unsigned long long offset = 0, length = 0, cookie = 0, gid = 0;
    std::string data;
    std::string raw;
};

struct ActionList {
    std::string fsname;
    unsigned int archiveId = 0;
    unsigned long long flags = 0, compoundId = 0;
    std::vector<ActionItem> items;
};

// Copies a received list, checking that every item lies within size bytes.
ActionList CopyList(hsm_action_list* hal, int size)
{
    const size_t listSize = size > 0 ? static_cast<size_t>(size) : 0;
    const size_t nameAt = offsetof(hsm_action_list, hal_fsname);
    if (!hal || listSize <= nameAt || hal->hal_version != HAL_VERSION)
        throw Failure(EPROTO, "malformed HSM action list (" + std::to_string(size) + " bytes)");
    if (strnlen(hal->hal_fsname, listSize - nameAt) >= listSize - nameAt)
        throw Failure(EPROTO, "HSM action list without a file-system name");
    ActionList list;
    list.fsname = hal->hal_fsname;
    list.archiveId = hal->hal_archive_id;
    list.flags = hal->hal_flags;
    list.compoundId = hal->hal_compound_id;
    const char* const base = reinterpret_cast<const char*>(hal);
    hsm_action_item* item = hai_first(hal);
    for (unsigned i = 0; i < hal->hal_count; ++i, item = hai_next(item)) {
        const size_t at = static_cast<size_t>(reinterpret_cast<const char*>(item) - base);
        if (at + sizeof(hsm_action_item) > listSize || item->hai_len < sizeof(hsm_action_item) ||
            at + item->hai_len > listSize)
            throw Failure(EPROTO, "HSM action " + std::to_string(i) + " lies outside its list");
        ActionItem copy;
        copy.action = item->hai_action;
        copy.fid = CLustreFID(item->hai_fid);
        copy.dfid = CLustreFID(item->hai_dfid);
        copy.offset = item->hai_extent.offset;
        copy.length = item->hai_extent.length;
        copy.cookie = item->hai_cookie;
        copy.gid = item->hai_gid;
        copy.raw.assign(base + at, item->hai_len);
        copy.data = copy.raw.substr(sizeof(hsm_action_item));
        list.items.push_back(std::move(copy));
    }
    return list;
}

// The registration and its live copy actions, under one lock: Lustre's
// handles are not for concurrent use, and no action may outlive the
// copytool it belongs to. The lock is only taken with the GIL released, so
// that a thread holding it may take the GIL (to log) without a deadlock.
struct CopytoolCore {
    std::mutex mutex;
    hsm_copytool_private* ct = nullptr;
    std::set<hsm_copyaction_private**> live;  // the handle slots of actions not ended
};

class CopyAction {
public:
    CopyAction(std::shared_ptr<CopytoolCore> tool, ActionItem item) : m_tool(std::move(tool)), m_item(std::move(item))
    {
    }
    ~CopyAction()
    {
        // Unended and forgotten: tell Lustre, so that the coordinator does not
        // wait for it.
        py::gil_scoped_release release;
        EndLocked(0, 0, 0, ECANCELED, false);
    }

    void Begin(int mdtIndex, int openFlags, bool isError)
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        if (!m_tool->ct) throw Failure(ESHUTDOWN, "the copytool is closed");
        std::string msg;
        const int rc =
            LustreAPI::HSMActionBegin(&m_hcp, m_tool->ct, reinterpret_cast<const hsm_action_item*>(m_item.raw.data()),
                                      mdtIndex, openFlags, isError, msg);
        if (rc < 0) m_hcp = nullptr;
        CheckResult(rc, msg);
        m_tool->live.insert(&m_hcp);
    }

    void Progress(unsigned long long offset, unsigned long long length, unsigned long long total, int flags)
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        const hsm_extent extent{offset, length};
        std::string msg;
        CheckResult(LustreAPI::HSMActionProgress(Handle(), &extent, total, flags, msg), msg);
    }

    void End(unsigned long long offset, unsigned long long length, int flags, int errval)
    {
        EndLocked(offset, length, flags, errval, true);
    }

    int DataFd()
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        std::string msg;
        const int fd = LustreAPI::HSMActionGetFD(Handle(), msg);
        CheckResult(fd, msg);
        return fd;
    }

    CLustreFID DataFid()
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        lu_fid raw{};
        std::string msg;
        CheckResult(LustreAPI::HSMActionGetDFID(Handle(), &raw, msg), msg);
        return CLustreFID(raw);
    }

    bool Ended()
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        return m_hcp == nullptr;
    }
    const ActionItem& Item() const { return m_item; }

private:
    hsm_copyaction_private* Handle() const
    {
        if (!m_hcp) throw Failure(EINVAL, "the copy action has ended");
        return m_hcp;
    }

    void EndLocked(unsigned long long offset, unsigned long long length, int flags, int errval, bool raise)
    {
        std::lock_guard<std::mutex> lock(m_tool->mutex);
        if (!m_hcp) {
            if (raise) throw Failure(EINVAL, "the copy action has ended");
            return;
        }
        const hsm_extent extent{offset, length};
        std::string msg;
        const int rc = LustreAPI::HSMActionEnd(&m_hcp, &extent, flags, errval, msg);
        // Lustre releases the handle whatever the result.
        m_hcp = nullptr;
        m_tool->live.erase(&m_hcp);
        if (raise) CheckResult(rc, msg);
    }

    std::shared_ptr<CopytoolCore> m_tool;
    ActionItem m_item;
    hsm_copyaction_private* m_hcp = nullptr;
};

class Copytool {
public:
    Copytool(const Path& mount, std::vector<int> archives) : m_core(std::make_shared<CopytoolCore>())
    {
        std::string msg;
        const int rc = LustreAPI::HSMRegister(&m_core->ct, mount.c_str(), static_cast<int>(archives.size()),
                                              archives.data(), O_NONBLOCK, msg);
        if (rc < 0) m_core->ct = nullptr;
        CheckResult(rc, msg, mount.string());
    }
    ~Copytool()
    {
        py::gil_scoped_release release;
        // A copytool dropped without close(): nobody is left to hear of a
        // failed unregistration, and a destructor must not throw.
        try {
            Close();
        } catch (const Failure&) {
        }
    }

    // Ends every live action (ECANCELED), then unregisters. Repeatable.
    void Close()
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        if (!m_core->ct) return;
        std::string msg;
        for (hsm_copyaction_private** slot : m_core->live) {
            const hsm_extent none{0, 0};
            LustreAPI::HSMActionEnd(slot, &none, 0, ECANCELED, msg);
            *slot = nullptr;
        }
        m_core->live.clear();
        const int rc = LustreAPI::HSMUnregister(&m_core->ct, msg);
        m_core->ct = nullptr;
        CheckResult(rc, msg);
    }

    bool Closed()
    {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        return m_core->ct == nullptr;
    }

    // The next action list; None when timeout (seconds) passes first. The
    // receive does not block: it is retried every 50 ms with the GIL
    // released, and signals (KeyboardInterrupt) are handled in between.
    std::optional<ActionList> Receive(std::optional<double> timeout)
    {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        for (;;) {
            {
                py::gil_scoped_release release;
                std::lock_guard<std::mutex> lock(m_core->mutex);
                if (!m_core->ct) throw Failure(ESHUTDOWN, "the copytool is closed");
                hsm_action_list* hal = nullptr;
                int size = 0;
                std::string msg;
                const int rc = LustreAPI::HSMRecv(m_core->ct, &hal, &size, msg);
                if (rc != -EAGAIN && rc != -EWOULDBLOCK) {
                    CheckResult(rc, msg);
                    return CopyList(hal, size);
                }
            }
            const auto waited = std::chrono::duration<double>(Clock::now() - start).count();
            if (timeout && waited >= *timeout) return std::nullopt;
            {
                py::gil_scoped_release release;
                const double left = timeout ? *timeout - waited : 0.05;
                std::this_thread::sleep_for(std::chrono::duration<double>(std::min(0.05, left)));
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    std::shared_ptr<CopyAction> Begin(const ActionItem& item, int mdtIndex, int openFlags, bool isError)
    {
        auto action = std::make_shared<CopyAction>(m_core, item);
        py::gil_scoped_release release;
        action->Begin(mdtIndex, openFlags, isError);
        return action;
    }

private:
    std::shared_ptr<CopytoolCore> m_core;
};

// The errno an exception leaving a "with" block gives its copy action.
int ErrnoOf(const py::object& error)
{
    if (!error.is_none() && py::isinstance(error, py::handle(PyExc_OSError))) {
        const py::object value = error.attr("errno");
        if (!value.is_none() && value.cast<int>() > 0) return value.cast<int>();
    }
    return ECANCELED;
}

}  // namespace

void BindCopytool(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    Public(py::class_<ActionItem>(m, "ActionItem", PublicClass(), "One HSM action of a received ActionList."))
        .def_property_readonly(
            "action", [](const ActionItem& i) { return MakeEnum("CopytoolAction", i.action); },
            "CopytoolAction.ARCHIVE, RESTORE, REMOVE or CANCEL.")
        .def_readonly("fid", &ActionItem::fid, "The file.")
        .def_readonly("dfid", &ActionItem::dfid, "The file holding the data (as fid, until a restore begins).")
        .def_readonly("offset", &ActionItem::offset, "Start of the extent to copy.")
        .def_readonly("length", &ActionItem::length,
                      "Length of the extent (LUSTRE_EOF, 2**64-1: to the end of the file).")
        .def_readonly("cookie", &ActionItem::cookie, "The coordinator's id of the action.")
        .def_readonly("gid", &ActionItem::gid, "The group lock id.")
        .def_property_readonly(
            "data", [](const ActionItem& i) { return py::bytes(i.data); }, "The request's data.")
        .def(
            "__repr__",
            [](const ActionItem& i) {
                return "ActionItem(action=" + py::repr(MakeEnum("CopytoolAction", i.action)).cast<std::string>() +
                       ", fid=" + i.fid.Text() + ", cookie=" + std::to_string(i.cookie) + ")";
            },
            "__repr__(self)\n--\n\n");
    Public(py::class_<ActionList>(m, "ActionList", PublicClass(),
                                  "The actions of one receive, copied out of Lustre's buffer: a sequence of\n"
                                  "ActionItems (len(), iteration) with the list's own fields."))
        .def_readonly("fsname", &ActionList::fsname, "The file system.")
        .def_readonly("archive_id", &ActionList::archiveId, "The archive the actions are for.")
        .def_readonly("flags", &ActionList::flags, "The request's flags.")
        .def_readonly("compound_id", &ActionList::compoundId, "The request's id.")
        .def_readonly("items", &ActionList::items, "The ActionItems.")
        .def(
            "__len__", [](const ActionList& l) { return l.items.size(); }, "__len__(self)\n--\n\nThe number of items.")
        .def(
            "__iter__", [](const ActionList& l) { return py::make_iterator(l.items.begin(), l.items.end()); },
            py::keep_alive<0, 1>(), "__iter__(self)\n--\n\nThe ActionItems in order.");

    Public(py::class_<CopyAction, std::shared_ptr<CopyAction>>(
               m, "CopyAction", PublicClass(),
               "The copy of one ActionItem, from Copytool.begin(). Report progress, end it\n"
               "once. As a context manager it ends itself on leaving: with the item's\n"
               "extent done when the block ends normally and end() was not called, with\n"
               "the errno of an OSError (else ECANCELED) when an exception leaves it."))
        .def_property_readonly("item", &CopyAction::Item, "The ActionItem.")
        .def_property_readonly("ended", py::cpp_function(&CopyAction::Ended, release()), "Whether it has ended.")
        .def("progress", &CopyAction::Progress, py::arg("offset"), py::arg("length"), py::arg("total") = 0,
             py::arg("flags") = 0, release(),
             "progress(self, offset, length, total=0, flags=0)\n--\n\n"
             "Reports the extent (offset, length) copied, of total bytes.")
        .def("end", &CopyAction::End, py::arg("offset") = 0, py::arg("length") = 0, py::kw_only(), py::arg("flags") = 0,
             py::arg("errval") = 0, release(),
             "end(self, offset=0, length=0, *, flags=0, errval=0)\n--\n\n"
             "Ends the copy: the extent done and errval (0, or the errno that stopped\n"
             "it); ProgressFlags.RETRY asks Lustre to hand the action out again.")
        .def("data_fd", &CopyAction::DataFd, release(),
             "data_fd(self)\n--\n\n"
             "A new descriptor (an int) of the action's data (the file to archive, or the file to\n"
             "restore into); the caller closes it.")
        .def("data_fid", &CopyAction::DataFid, release(), "data_fid(self)\n--\n\nThe Fid of the action's data file.")
        .def(
            "__enter__", [](std::shared_ptr<CopyAction> a) { return a; }, "__enter__(self)\n--\n\n")
        .def(
            "__exit__",
            [](CopyAction& a, const py::object& type, const py::object& value, const py::object&) {
                const int errval = type.is_none() ? 0 : ErrnoOf(value);
                py::gil_scoped_release release;
                if (a.Ended()) return false;
                if (errval == 0)
                    a.End(a.Item().offset, a.Item().length, 0, 0);
                else
                    a.End(0, 0, 0, errval);
                return false;
            },
            "__exit__(self, type, value, traceback)\n--\n\nEnds the action as the class says, unless it has ended.");

    Public(py::class_<Copytool>(m, "Copytool", PublicClass(),
                                "This process as the copytool of the archives (none or 0: every\n"
                                "archive) on the mount point mount; needs load().\n"
                                "A context manager (close() on leaving) and an iterator of ActionLists\n"
                                "that waits for each."))
        .def(py::init<const Path&, std::vector<int>>(), py::arg("mount"), py::arg("archives") = std::vector<int>(),
             release(), "__init__(self, mount, archives=())\n--\n\n")
        .def("close", &Copytool::Close, release(),
             "close(self)\n--\n\nEnds the actions still open (ECANCELED) and unregisters. Repeatable.")
        .def_property_readonly("closed", py::cpp_function(&Copytool::Closed, release()),
                               "Whether the copytool is closed (close(), or leaving its with block).")
        .def("receive", &Copytool::Receive, py::arg("timeout") = py::none(),
             "receive(self, timeout=None)\n--\n\n"
             "The next ActionList, waiting for it; None when timeout seconds pass first.")
        .def("begin", &Copytool::Begin, py::arg("item"), py::kw_only(), py::arg("mdt_index") = -1,
             py::arg("open_flags") = 0, py::arg("is_error") = false,
             "begin(self, item, *, mdt_index=-1, open_flags=0, is_error=False)\n--\n\n"
             "Starts the copy of item and returns its CopyAction; is_error only\n"
             "prepares the action to report a failure.")
        .def(
            "__enter__", [](py::object self) { return self; }, "__enter__(self)\n--\n\n")
        .def(
            "__exit__",
            [](Copytool& c, const py::args&) {
                py::gil_scoped_release release;
                c.Close();
            },
            "__exit__(self, type, value, traceback)\n--\n\nCloses the copytool.")
        .def(
            "__iter__", [](py::object self) { return self; }, "__iter__(self)\n--\n\n")
        .def(
            "__next__",
            [](Copytool& c) {
                // A copytool closed before or during the wait ends the iteration.
                try {
                    bool closed = false;
                    {
                        py::gil_scoped_release release;
                        closed = c.Closed();
                    }
                    if (!closed) return *c.Receive(std::nullopt);
                } catch (const Failure& f) {
                    if (f.Errno() != ESHUTDOWN) throw;
                }
                throw py::stop_iteration();
            },
            "__next__(self)\n--\n\nThe next ActionList, waiting for it.");
}

}  // namespace lustrepy
