// Loading a shared library and finding a symbol in it, one file per platform.
#pragma once

#include <string>

namespace qorvin::cli {

// The client library's file name: "libQorvinClient.so", "QorvinClient.dll".
extern const char* const kClientLibraryFile;

// The folder of this program's executable, or empty when it cannot be found.
std::string ProgramFolder();
bool FileExists(const std::string& path);

// Loads the library at `path` (a bare name goes through the system's search); null with the
// loader's reason in `why` when it cannot.
void* OpenLibrary(const std::string& path, std::string& why);
// The address of the exported `name`, or null.
void* FindSymbol(void* library, const char* name);
void CloseLibrary(void* library);

}  // namespace qorvin::cli
