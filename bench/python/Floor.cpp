// The C++ side of the Python benchmarks: the library calls that the module's
// calls wrap, in a loop of n, timed here, so that the Python runner measures
// the binding's cost against the call itself in the same process and run.
#include <pybind11/pybind11.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "LustreAPI.h"

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CLustreFID::Parse(text), what Fid(text) calls, n times.
double FidText(const std::string& text, long n)
{
    unsigned long long sum = 0;
    const auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
        LustreAPI::CLustreFID fid;
        if (LustreAPI::CLustreFID::Parse(text, fid).Failed()) break;
        sum += fid.m_oid;
    }
    const double elapsed = Seconds(start);
    if (sum == 0) throw std::runtime_error("no FID in " + text);
    return elapsed;
}

// HSMStateGet(path), n times.
double HsmState(const std::string& path, long n)
{
    const auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
        hsm_user_state state{};
        std::string msg;
        if (LustreAPI::HSMStateGet(path.c_str(), &state, msg) < 0) throw std::runtime_error("HSMStateGet: " + msg);
    }
    return Seconds(start);
}

// Every record of mdt through CChangelogReader: (seconds, records).
py::tuple ReadAll(const std::string& mdt)
{
    LustreAPI::CChangelogReader reader;
    const auto start = Clock::now();
    if (reader.Open(mdt, 0, false).Failed()) throw std::runtime_error("cannot open the changelog of " + mdt);
    LustreAPI::CChangelogRecord record;
    long count = 0;
    for (bool got = true; got; count += got) {
        if (reader.Next(record, std::chrono::milliseconds(0), got).Failed())
            throw std::runtime_error("cannot read the changelog of " + mdt);
    }
    return py::make_tuple(Seconds(start), count);
}

}  // namespace

PYBIND11_MODULE(lustreapi_bench_floor, m)
{
    m.def("fid_text", &FidText, py::call_guard<py::gil_scoped_release>());
    m.def("hsm_state", &HsmState, py::call_guard<py::gil_scoped_release>());
    m.def("read_all", &ReadAll);
}
