// Dynamic libraries: load by path, look up an entry by its exact name, ask
// the full path of a loaded library, release it. LoadLibraryA and friends on
// Windows; dlopen and friends on POSIX. Loading the same path twice gives
// two references to one library, which stays loaded until both are freed.
#pragma once

#include <string>

namespace platform {

using LibraryHandle = void*;

// Null when the file is missing or no library of this platform. A path
// without a folder names a file in the current folder.
LibraryHandle load_library(const std::string& path);
// Null when the library exports no entry of that exact (case-sensitive) name.
void* library_symbol(LibraryHandle library, const char* name);
// The full path of the loaded library as the system reports it; "" when it
// reports none.
std::string library_file_name(LibraryHandle library);
// Releases one reference; a null handle is ignored.
void free_library(LibraryHandle library);

} // namespace platform
