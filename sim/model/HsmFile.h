// What HSM does to a file's data in the stand-in: releasing drops the data
// but keeps the size (the file reads as zeros, as a hole), restoring puts
// the data back; a file whose data changed since it was archived is dirty.
#pragma once
#include <string>

#include "HsmStore.h"

namespace sim::lib {

// Marks f dirty when it is archived and the file at path no longer has the
// modification time and size it was archived with.
void RefreshDirty(FileHsm& f, const std::string& path);

// Records that the data of the file at path, as it is now, is archived in
// archiveId. Returns 0 or -errno.
int MarkArchived(FileHsm& f, const std::string& path, unsigned archiveId);

// Drops the file's data, keeping its size and modification time, and marks
// it released. Returns 0 or -errno.
int ReleaseData(FileHsm& f, const std::string& path);

// Replaces the released file's data with everything readable from dataFd,
// gives it back the modification time it was archived with and clears the
// released flag. Returns 0 or -errno.
int RestoreData(FileHsm& f, const std::string& path, int dataFd);

}  // namespace sim::lib
