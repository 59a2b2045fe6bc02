// Path utilities of the host.
#pragma once
#include <string>

#include "HBError.h"
#include "KxExport.h"

class KX_API HBPath {
public:
    // Joins component to path with exactly one '/': a trailing '/' of path and
    // leading '/'s of component are not doubled. An empty path takes the
    // component as it is; an empty component leaves path unchanged.
    // flags: unused. Always succeeds.
    static CKxError Append(std::string& path, const std::string& component, unsigned flags);
};
