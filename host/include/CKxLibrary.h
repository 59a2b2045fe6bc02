// Dynamic-library loader of the host.
#pragma once
#include "HBError.h"
#include "KxExport.h"

// Loads one shared library with the system's dynamic loader (normal search
// order, LD_LIBRARY_PATH included). A loaded library stays loaded for the life
// of the process, also after the loader object is destroyed: addresses taken
// from it may be called at any time later.
class KX_API CKxLibrary {
public:
    explicit CKxLibrary(bool flag);  // flag: unused
    ~CKxLibrary();
    CKxLibrary(const CKxLibrary&) = delete;
    CKxLibrary& operator=(const CKxLibrary&) = delete;

    // flag true: bind all symbols at once (RTLD_NOW); false: lazily.
    // A failure carries the loader's own diagnostic text and leaves the
    // loader as it was, free to load another name.
    CKxError Load(const char* name, bool flag);
    // The symbol's address in address; a failure (also when nothing is loaded)
    // carries the loader's diagnostic text and leaves address untouched.
    CKxError GetAddress(const char* symbol, void*& address);

private:
    void* m_handle;
};
