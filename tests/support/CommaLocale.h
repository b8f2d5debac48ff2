// A decimal-comma locale (de_DE.UTF-8) for tests of number text: the process switches to it for
// the scope's life and back to "C" after. Made with localedef from the system's locale sources
// into a folder of the tests' own when the system lacks it (no root needed); Active() is false
// when even that is impossible, and the test skips.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace qorvin::test {

class CommaLocaleScope {
 public:
  CommaLocaleScope() {
#ifdef _WIN32
    active_ = std::setlocale(LC_ALL, "German_Germany.1252") != nullptr;
#else
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {
      active_ = true;
      return;
    }
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::path dir = fs::temp_directory_path() / "qorvin-test-locales";
    const fs::path locale = dir / "de_DE.UTF-8";
    if (!fs::exists(locale / "LC_NUMERIC")) {
      // Made under a name of this process's own and renamed into place, so that test runs at
      // the same time never read a half-made locale.
      fs::create_directories(dir, ignored);
      const fs::path made = dir / ("de_DE.UTF-8.making." + std::to_string(::getpid()));
      const std::string command =
          "localedef -i de_DE -f UTF-8 '" + made.string() + "' >/dev/null 2>&1";
      (void)std::system(command.c_str());  // warnings give a non-zero status: look at files
      if (fs::exists(made / "LC_NUMERIC")) fs::rename(made, locale, ignored);
      fs::remove_all(made, ignored);
    }
    ::setenv("LOCPATH", dir.c_str(), 1);
    locpath_ = true;
    active_ = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
#endif
    // The locale really has a decimal comma (a stand-in with a point would prove nothing).
    active_ = active_ && std::localeconv()->decimal_point[0] == ',';
  }
  ~CommaLocaleScope() {
    std::setlocale(LC_ALL, "C");
#ifndef _WIN32
    if (locpath_) ::unsetenv("LOCPATH");
#endif
  }
  CommaLocaleScope(const CommaLocaleScope&) = delete;
  CommaLocaleScope& operator=(const CommaLocaleScope&) = delete;
  bool Active() const {
    return active_;
  }

 private:
  bool active_ = false;
  bool locpath_ = false;
};

}  // namespace qorvin::test
