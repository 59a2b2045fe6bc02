// Entry of lustreapi_bench. The library binds liblustreapi.so by its bare
// file name, which the loader looks up in LD_LIBRARY_PATH as it was when the
// process started; so the process restarts itself once with the stand-in's
// directory in front.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

int main(int argc, char** argv)
{
    if (!std::getenv("LUSTREAPI_BENCH_RESTARTED")) {
        std::string path = LUSTREAPI_BENCH_LUSTRE_DIR;
        if (const char* old = std::getenv("LD_LIBRARY_PATH"); old && *old) path += std::string(":") + old;
        setenv("LD_LIBRARY_PATH", path.c_str(), 1);
        setenv("LUSTREAPI_BENCH_RESTARTED", "1", 1);
        execv("/proc/self/exe", argv);  // on failure go on: the Lustre benchmarks then report the error
    }
    bench::SilenceLog();
    // A process that only reads a changelog, for its peak memory.
    if (argc == 4 && std::string(argv[1]) == "--reader-rss") return bench::ReaderRssMain(argv[2], std::atol(argv[3]));
    // A process that reads a changelog through lfs.
    if (argc == 4 && std::string(argv[1]) == "--reader-lfs") return bench::ReaderLfsMain(argv[2], std::atol(argv[3]));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
