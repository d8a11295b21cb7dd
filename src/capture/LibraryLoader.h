#pragma once

// Run-time loading of shared libraries (dlopen/dlsym; LoadLibraryA/GetProcAddress on Windows).
// A library once loaded stays loaded until the process ends.

#include <string>
#include <string_view>
#include <vector>

#include "capture/CaptureErrors.h"

namespace stemora {

// Address of `entryName` in the library `libraryName`. The library is loaded by its name
// unchanged on first use and remembered in the process-wide LoadedLibraries under its lower-cased
// name; later look-ups match that name case-insensitively. Raises Exception
// "<libraryName> not loaded" when the library cannot be loaded or lacks the entry (the library
// name in both cases). Thread-safe.
void* GetLibraryProc(std::string_view libraryName, std::string_view entryName);

// Lower-cased names of the libraries loaded so far, in load order (LoadedLibraries).
std::vector<std::string> LoadedLibraryNames();

}  // namespace stemora
