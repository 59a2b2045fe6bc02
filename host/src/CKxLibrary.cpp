// Loader of shared libraries through the system's dynamic loader.
#include "CKxLibrary.h"

#include <dlfcn.h>

#define KX_LOCATION (HBCodeLocation{"KxUtils", __PRETTY_FUNCTION__, __LINE__})

namespace {

// Win32 codes the host uses for a module or a procedure that cannot be found.
constexpr unsigned kModuleNotFound = 126;
constexpr unsigned kProcNotFound = 127;

const char* LoaderText()
{
    const char* text = dlerror();
    return text ? text : "unknown error";
}

}  // namespace

CKxLibrary::CKxLibrary(bool) : m_handle(nullptr) {}

// The handle is deliberately not closed: addresses taken from the library are
// called long after this loader is gone.
CKxLibrary::~CKxLibrary() = default;

CKxError CKxLibrary::Load(const char* name, bool flag)
{
    if (!name || !*name) return HBErrorUtil::ErrorWin32(KX_LOCATION, kModuleNotFound, "dlopen: no library name given");
    dlerror();
    void* handle = dlopen(name, (flag ? RTLD_NOW : RTLD_LAZY) | RTLD_LOCAL);
    if (!handle) return HBErrorUtil::ErrorWin32(KX_LOCATION, kModuleNotFound, "dlopen(%s): %s", name, LoaderText());
    // Kept for the life of the process, never dlclose'd (see the destructor).
    m_handle = handle;
    return CKxError();
}

CKxError CKxLibrary::GetAddress(const char* symbol, void*& address)
{
    if (!symbol) return HBErrorUtil::ErrorWin32(KX_LOCATION, kProcNotFound, "dlsym: no symbol name given");
    if (!m_handle) return HBErrorUtil::ErrorWin32(KX_LOCATION, kProcNotFound, "dlsym(%s): no library loaded", symbol);
    dlerror();
    void* found = dlsym(m_handle, symbol);
    if (!found) {
        // A symbol may legitimately have a null address; only dlerror() says it failed.
        if (const char* text = dlerror())
            return HBErrorUtil::ErrorWin32(KX_LOCATION, kProcNotFound, "dlsym(%s): %s", symbol, text);
    }
    address = found;
    return CKxError();
}
