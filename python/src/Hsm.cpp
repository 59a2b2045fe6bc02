// HSM state, current action and requests of files.
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"

namespace py = pybind11;

namespace lustrepy {
namespace {

py::object StateResult(const hsm_user_state& raw)
{
    return MakeResult("HsmState", {MakeEnum("HsmStates", raw.hus_states), py::int_(raw.hus_archive_id)});
}

py::object GetState(const Path& path)
{
    hsm_user_state raw{};
    std::string msg;
    int rc = 0;
    {
        py::gil_scoped_release release;
        rc = LustreAPI::HSMStateGet(path.c_str(), &raw, msg);
    }
    CheckResult(rc, msg, path.string());
    return StateResult(raw);
}

void SetState(const Path& path, unsigned long long set, unsigned long long clear, unsigned int archiveId)
{
    std::string msg;
    CheckResult(LustreAPI::HSMStateSet(path.c_str(), set, clear, archiveId, msg), msg, path.string());
}

py::object GetCurrentAction(const Path& path)
{
    hsm_current_action raw{};
    std::string msg;
    int rc = 0;
    {
        py::gil_scoped_release release;
        rc = LustreAPI::HSMCurrentAction(path.c_str(), &raw, msg);
    }
    CheckResult(rc, msg, path.string());
    return MakeResult("HsmCurrentAction",
                      {MakeEnum("ProgressState", raw.hca_state), MakeEnum("HsmAction", raw.hca_action),
                       py::int_(raw.hca_location.offset), py::int_(raw.hca_location.length)});
}

// A Python progress callable behind the library's progress: called, with the
// GIL taken, with the number of files done since its last call, so that
// progress=tqdm(...).update counts them. An exception it raises stops the
// calls; Raise raises it once the operation has returned.
class Progress {
public:
    explicit Progress(const py::object& callable) : m_callable(callable) {}

    // The library's callback (none for None); called without the GIL.
    LustreAPI::HSMProgress Function()
    {
        if (m_callable.is_none()) return {};
        return [this](size_t done, size_t) {
            py::gil_scoped_acquire gil;
            if (m_error) return;
            try {
                m_callable(done - m_reported);
                m_reported = done;
            } catch (py::error_already_set& e) {
                m_error = std::move(e);
            }
        };
    }
    // With the GIL held.
    void Raise()
    {
        if (m_error) throw std::move(*m_error);
    }

private:
    const py::object& m_callable;
    size_t m_reported = 0;
    std::optional<py::error_already_set> m_error;
};

std::vector<std::string> Texts(const std::vector<Path>& paths)
{
    std::vector<std::string> texts;
    texts.reserve(paths.size());
    for (const Path& path : paths) texts.push_back(path.string());
    return texts;
}

bool Bound(const std::vector<std::string>& bound, const char* name)
{
    return std::find(bound.begin(), bound.end(), name) != bound.end();
}

// One result per file. Failures of single files are results; a request that
// cannot be made at all (an entry point missing, data too long) raises.
std::vector<int> Request(const std::vector<Path>& paths, int action, unsigned int archiveId, const std::string& data,
                         const py::object& progress)
{
    const std::vector<std::string> texts = Texts(paths);
    Progress bridge(progress);
    std::vector<int> results;
    bool whole = false;
    CKxError error;
    {
        py::gil_scoped_release release;
        const std::vector<std::string> bound = LustreAPI::GetBoundEntryPoints();
        whole = !Bound(bound, "llapi_hsm_user_request_alloc") || !Bound(bound, "llapi_hsm_request") ||
                !Bound(bound, "llapi_fd2fid") || data.size() > static_cast<size_t>(INT_MAX);
        error = LustreAPI::HSMRequestFiles(texts, action, archiveId, data, results, bridge.Function());
    }
    bridge.Raise();
    if (whole && !texts.empty()) CheckError(error);
    return results;
}

// Each file's HsmState, or the LustreError its query failed with; raises
// when nothing could be asked.
py::list States(const std::vector<Path>& paths, const py::object& progress)
{
    const std::vector<std::string> texts = Texts(paths);
    Progress bridge(progress);
    std::vector<hsm_user_state> states;
    std::vector<int> results;
    bool whole = false;
    CKxError error;
    {
        py::gil_scoped_release release;
        whole = !Bound(LustreAPI::GetBoundEntryPoints(), "llapi_hsm_state_get");
        error = LustreAPI::HSMStateGetFiles(texts, states, results, bridge.Function());
    }
    bridge.Raise();
    if (whole && !texts.empty()) CheckError(error);
    py::list out;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (results[i] < 0)
            out.append(ErrorObject(Failure(-results[i], std::strerror(-results[i]), texts[i])));
        else
            out.append(StateResult(states[i]));
    }
    return out;
}

}  // namespace

void BindHsm(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    m.def("hsm_state", &GetState, py::arg("path"),
          "hsm_state(path)\n--\n\n"
          "The HsmState of the regular file at path: .states (HsmStates flags) and\n"
          ".archive_id. LustreError: ENOENT (LustreFileNotFoundError) for a missing\n"
          "file, ENOTTY for a directory or a file outside Lustre.");
    m.def("hsm_states", &States, py::arg("paths"), py::kw_only(), py::arg("progress") = py::none(),
          "hsm_states(paths, *, progress=None)\n--\n\n"
          "The HSM state of each file of paths, in order, as hsm_state() gives it:\n"
          "a list of an HsmState for each file whose state was read, and of the\n"
          "LustreError (not raised) for each file whose state was not, such as a\n"
          "LustreFileNotFoundError for a missing file. progress, when given, is\n"
          "called after each file with the number of files done since its last\n"
          "call (1), so that a tqdm bar's update method may be passed:\n\n"
          "    with tqdm(total=len(paths)) as bar:\n"
          "        states = lustreapi.hsm_states(paths, progress=bar.update)\n\n"
          "An exception progress raises is raised once every file was asked,\n"
          "and progress is not called again. LustreError (EINVAL) when Lustre's\n"
          "library has no llapi_hsm_state_get or load() was not called.");
    m.def("hsm_set_state", &SetState, py::arg("path"), py::kw_only(), py::arg("set") = 0, py::arg("clear") = 0,
          py::arg("archive_id") = 0, release(),
          "hsm_set_state(path, *, set=0, clear=0, archive_id=0)\n--\n\n"
          "Sets the HsmStates flags of set, clears those of clear and, when\n"
          "archive_id > 0, sets the archive. Without root only NORELEASE, NOARCHIVE\n"
          "and DIRTY (LustreError EPERM, a LustrePermissionError); an inconsistent\n"
          "state is EINVAL.");
    m.def("hsm_current_action", &GetCurrentAction, py::arg("path"),
          "hsm_current_action(path)\n--\n\n"
          "The HsmCurrentAction queued or running on the file at path.");
    m.def("hsm_request", &Request, py::arg("paths"), py::arg("action"), py::arg("archive_id") = 0,
          py::arg("data") = py::bytes(), py::kw_only(), py::arg("progress") = py::none(),
          "hsm_request(paths, action, archive_id=0, data=b'', *, progress=None)\n--\n\n"
          "Asks for the HsmAction action on the whole of each file of paths, in as\n"
          "few requests as fit, and returns a list of one result per path, in\n"
          "order: 0, or the negative errno of that file (its open, FID or request\n"
          "failed). archive_id 0 means the file's own archive or Lustre's default;\n"
          "data goes with every request. progress, when given, is called after\n"
          "each request Lustre is sent with the number of files whose result is\n"
          "known since its last call (those that could not be opened counted in\n"
          "the first call), so that a tqdm bar's update method may be passed:\n\n"
          "    with tqdm(total=len(paths)) as bar:\n"
          "        results = lustreapi.hsm_request(paths, HsmAction.ARCHIVE, progress=bar.update)\n\n"
          "An exception progress raises is raised once every request was sent,\n"
          "and progress is not called again. Raises LustreError only when no\n"
          "request can be made at all (the library is not loaded, or data is too\n"
          "long).");
}

}  // namespace lustrepy
