// LoadLibrary and GetProcAddress; the loader's reason is the system's text for its error code.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "tools/qorvin/LibraryLoader.h"

namespace qorvin::cli {

namespace {

std::string SystemText(DWORD code) {
  char buffer[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n < sizeof buffer ? n : 0);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text + " (" + std::to_string(code) + ")";
}

}  // namespace

const char* const kClientLibraryFile = "QorvinClient.dll";

std::string ProgramFolder() {
  std::vector<char> buffer(32768);
  const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), DWORD(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  std::string path(buffer.data(), n);
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A path names the DLL's folder, where the DLLs it needs are looked for first; a bare name goes
// through the system's search.
void* OpenLibrary(const std::string& path, std::string& why) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '/', '\\');
  const bool located = native.find('\\') != std::string::npos;
  HMODULE module =
      LoadLibraryExA(native.c_str(), nullptr, located ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  if (module == nullptr) why = SystemText(GetLastError());
  return reinterpret_cast<void*>(module);
}

void* FindSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace qorvin::cli
