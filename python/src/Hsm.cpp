// HSM state, current action and requests of files.
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "Bindings.h"
#include "Errors.h"
#include "LustreAPI.h"

namespace py = pybind11;

namespace lustrepy {
namespace {

struct HsmState {
    unsigned int states = 0;
    unsigned int archiveId = 0;
};

struct CurrentAction {
    unsigned int state = 0;
    unsigned int action = 0;
    unsigned long long offset = 0;
    unsigned long long length = 0;
};

HsmState GetState(const Path& path)
{
    hsm_user_state raw{};
    std::string msg;
    const int rc = LustreAPI::HSMStateGet(path.c_str(), &raw, msg);
    if (rc < 0) CheckResult(rc, msg, path.string());
    return HsmState{raw.hus_states, raw.hus_archive_id};
}

void SetState(const Path& path, unsigned long long set, unsigned long long clear, unsigned int archiveId)
{
    std::string msg;
    CheckResult(LustreAPI::HSMStateSet(path.c_str(), set, clear, archiveId, msg), msg, path.string());
}

CurrentAction GetCurrentAction(const Path& path)
{
    hsm_current_action raw{};
    std::string msg;
    CheckResult(LustreAPI::HSMCurrentAction(path.c_str(), &raw, msg), msg, path.string());
    return CurrentAction{raw.hca_state, raw.hca_action, raw.hca_location.offset, raw.hca_location.length};
}

// One result per file. Failures of single files are results; a request that
// cannot be made at all (an entry point missing, data too long) raises.
std::vector<int> Request(const std::vector<Path>& paths, int action, unsigned int archiveId, const std::string& data)
{
    std::vector<std::string> texts;
    texts.reserve(paths.size());
    for (const Path& path : paths) texts.push_back(path.string());
    const std::vector<std::string> bound = LustreAPI::GetBoundEntryPoints();
    const auto isBound = [&](const char* name) { return std::find(bound.begin(), bound.end(), name) != bound.end(); };
    const bool whole = !isBound("llapi_hsm_user_request_alloc") || !isBound("llapi_hsm_request") ||
                       !isBound("llapi_fd2fid") || data.size() > static_cast<size_t>(INT_MAX);
    std::vector<int> results;
    const CKxError error = LustreAPI::HSMRequestFiles(texts, action, archiveId, data, results);
    if (whole && !texts.empty()) CheckError(error);
    return results;
}

std::string StateRepr(const HsmState& s)
{
    return "HsmState(states=" + py::repr(MakeEnum("HsmStates", s.states)).cast<std::string>() +
           ", archive_id=" + std::to_string(s.archiveId) + ")";
}

}  // namespace

void BindHsm(py::module_& m)
{
    using release = py::call_guard<py::gil_scoped_release>;
    Public(py::class_<HsmState>(m, "HsmState", "The HSM state of a file, from hsm_state()."))
        .def_property_readonly(
            "states", [](const HsmState& s) { return MakeEnum("HsmStates", s.states); }, "The HsmStates flags.")
        .def_readonly("archive_id", &HsmState::archiveId, "The archive the file belongs to (0: none yet).")
        .def("__repr__", &StateRepr);
    Public(py::class_<CurrentAction>(m, "HsmCurrentAction",
                                     "The HSM action queued or running on a file, from hsm_current_action()."))
        .def_property_readonly(
            "state", [](const CurrentAction& a) { return MakeEnum("ProgressState", a.state); },
            "ProgressState.WAITING while queued, RUNNING while a copytool copies.")
        .def_property_readonly(
            "action", [](const CurrentAction& a) { return MakeEnum("HsmAction", a.action); },
            "The HsmAction; HsmAction.NONE when nothing is under way.")
        .def_readonly("offset", &CurrentAction::offset, "Start of the extent (copied so far, while RUNNING).")
        .def_readonly("length", &CurrentAction::length, "Length of the extent.")
        .def("__repr__", [](const CurrentAction& a) {
            return "HsmCurrentAction(state=" + py::repr(MakeEnum("ProgressState", a.state)).cast<std::string>() +
                   ", action=" + py::repr(MakeEnum("HsmAction", a.action)).cast<std::string>() +
                   ", offset=" + std::to_string(a.offset) + ", length=" + std::to_string(a.length) + ")";
        });

    m.def("hsm_state", &GetState, py::arg("path"), release(),
          "hsm_state(path) -> HsmState\n\n"
          "The HSM state of the regular file at path: .states (HsmStates flags) and\n"
          ".archive_id. LustreError: ENOENT for a missing file, ENOTTY for a directory\n"
          "or a file outside Lustre.");
    m.def("hsm_set_state", &SetState, py::arg("path"), py::kw_only(), py::arg("set") = 0, py::arg("clear") = 0,
          py::arg("archive_id") = 0, release(),
          "hsm_set_state(path, *, set=0, clear=0, archive_id=0) -> None\n\n"
          "Sets the HsmStates flags of set, clears those of clear and, when\n"
          "archive_id > 0, sets the archive. Without root only NORELEASE, NOARCHIVE\n"
          "and DIRTY (LustreError EPERM); an inconsistent state is EINVAL.");
    m.def("hsm_current_action", &GetCurrentAction, py::arg("path"), release(),
          "hsm_current_action(path) -> HsmCurrentAction\n\n"
          "The action queued or running on the file at path.");
    m.def("hsm_request", &Request, py::arg("paths"), py::arg("action"), py::arg("archive_id") = 0,
          py::arg("data") = py::bytes(), release(),
          "hsm_request(paths, action, archive_id=0, data=b\"\") -> list[int]\n\n"
          "Asks for the HsmAction action on the whole of each file of paths, in as\n"
          "few requests as fit, and returns one result per path, in order: 0, or the\n"
          "negative errno of that file (its open, FID or request failed). archive_id\n"
          "0 means the file's own archive or Lustre's default; data goes with every\n"
          "request. Raises LustreError only when no request can be made at all (the\n"
          "library is not loaded, or data is too long).");
}

}  // namespace lustrepy
