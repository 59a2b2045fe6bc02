// Path utilities.
#include "HBPath.h"

CKxError HBPath::Append(std::string& path, const std::string& component, unsigned)
{
    if (component.empty()) return CKxError();
    if (path.empty()) {
        path = component;
        return CKxError();
    }
    const size_t first = component.find_first_not_of('/');
    if (path.back() != '/') path += '/';
    if (first != std::string::npos) path.append(component, first, std::string::npos);
    return CKxError();
}
