#include <windows.h>

#include <algorithm>
#include <bit>
#include <thread>

#include "platform/rtl/OsServices.h"
#include "platform/rtl/Text.h"

namespace qorvin {

double LocalDateTimeNow() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  FILETIME asFile{};
  SystemTimeToFileTime(&t, &asFile);
  // FILETIME counts 100 ns steps since 1601-01-01; 109205 days lie between 1601-01-01 and
  // 1899-12-30.
  const uint64_t ticks = uint64_t(asFile.dwHighDateTime) << 32 | asFile.dwLowDateTime;
  return double(ticks) / (86400.0 * 1e7) - 109205.0;
}

void NameCurrentThread(const std::string& name) {
  // SetThreadDescription exists from Windows 10 1607 on; looked up so older systems still load.
  using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto describe = reinterpret_cast<Describe>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (describe == nullptr) return;
  try {
    const std::u16string wide = Utf8ToUtf16(name);
    const std::wstring text(wide.begin(), wide.end());
    describe(GetCurrentThread(), text.c_str());
  } catch (...) {
  }
}

int AvailableCores() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    return std::max(1, int(std::popcount(uint64_t(process))));
  }
  return std::max(1, int(std::thread::hardware_concurrency()));
}

int64_t PhysicalMemoryBytes() {
  static const int64_t bytes = [] {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? int64_t(status.ullTotalPhys) : int64_t(0);
  }();
  return bytes;
}

std::string SystemErrorMessage(uint32_t code) {
  char buffer[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (text.empty()) text = "Unknown error " + std::to_string(code);
  return text;
}

void AdviseLargeBuffer(void*, size_t) {
  // Large pages on Windows need a privilege that hosts do not hold; the hint is not taken.
}

bool PrefaultForWrite(void*, size_t) {
  // No call makes committed pages present without touching them; the writer faults them in.
  return false;
}

}  // namespace qorvin
