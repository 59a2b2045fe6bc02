// Open descriptors of this process, counted in /proc/self/fd.
#pragma once
#include <dirent.h>

namespace stress {

inline int OpenFdCount() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int count = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++count;
    closedir(d);
    return count - 1;  // the directory stream's own descriptor
}

}  // namespace stress
