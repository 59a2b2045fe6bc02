// Shared set-up of the benchmarks: a silent log writer, the stand-in
// liblustreapi.so with a state directory of its own, and memory held on
// purpose for the fork comparison.
#pragma once
#include <cstddef>
#include <string>

namespace bench {

// Installs a writer whose level is -1, so that the library's level-0 lines
// cost one GetLevel() call and are not written.
void SilenceLog();

// The mount point of the stand-in file system set up by PrepareLustre(), or
// "" when the stand-in library could not be bound (LoadFunctions failed).
const std::string& MountPoint();

// A new directory "lustreapi-bench-<name>.XXXXXX" under TMPDIR (or /tmp),
// removed with all it holds when the process exits. "" when it could not be
// made.
std::string ScratchDir(const std::string& name);

// Makes a state directory with one file system mounted under it, points
// LUSTRE_SIM_STATE at it and binds the library. Idempotent.
bool PrepareLustre();

// Allocates and touches mebibytes of memory, kept until the process ends
// (grows only). Returns the amount held.
size_t HoldMemory(size_t mebibytes);

// Reads every record of the changelog in stateDir in-process and prints the
// process's peak resident memory in KiB; 0, or 1 when fewer than records
// were read (ChangelogReaderBench.cpp).
int ReaderRssMain(const char* stateDir, long records);
// Reads every record of the changelog in stateDir with a reader that runs
// lfs (the Lustre library loaded has no changelog calls); 0, or 1 when
// fewer than records were read or they were read in-process.
int ReaderLfsMain(const char* stateDir, long records);

}  // namespace bench
