// Finding and loading the client library libQorvinClient.so, the way any host does: dlopen and
// the one export CreateRemoteDataModule, nothing linked.
//
// Ownership: a loaded library is never unloaded. Remote data modules live until the process ends
// and run code of the library, so closing it would leave them pointing into unmapped memory.
// Thread: any; dlopen is thread-safe.
#pragma once

#include <string>

#include "basalt/BasaltApi.h"
#include "include/qorvin/QorvinClient.h"

namespace qorvin {

inline constexpr const char* kClientLibraryName = "libQorvinClient.so";
inline constexpr const char* kClientLibraryEnv = "QORVIN_CLIENT_LIBRARY";

// The client library to load, first match wins:
//   1. `configured` (the host's --client-library), when not empty;
//   2. `programDir`/../client/libQorvinClient.so, when that file exists (a build tree: the
//      programs in bin/, the library in client/);
//   3. the environment variable QORVIN_CLIENT_LIBRARY, when set and not empty;
//   4. the plain name, found by the dynamic loader's search path.
// `programDir` empty: the directory of the running program (/proc/self/exe).
BASALT_API std::string ResolveClientLibraryPath(const std::string& configured,
                                                std::string programDir = std::string());

// Loads the library at `path` and finds its export. Returns null with a one-line reason in `error`
// ("cannot load the client library <path>: <loader's reason>", or the missing export).
BASALT_API QorvinCreateRemoteDataModuleFn LoadClientLibrary(const std::string& path,
                                                            std::string& error);

}  // namespace qorvin
