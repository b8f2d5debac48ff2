// Paths in the tests' temporary folder that belong to one test process and are removed when it
// exits.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace qorvin::test {

namespace detail {
// Every path handed out, removed (files and folders alike) at the process's normal exit.
class TempPaths {
 public:
  ~TempPaths() {
    for (const std::string& path : paths_) {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  }
  void Add(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(path);
  }
  static TempPaths& Instance() {
    static TempPaths paths;
    return paths;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> paths_;
};
}  // namespace detail

// `name` in the temporary folder behind this process's id, so that test programs run side by
// side (the two builds, a stress run beside another run) never share or remove each other's
// files. Whatever the test makes there is removed when the process exits.
inline std::string TempPath(const std::string& name) {
  std::string path = ::testing::TempDir() + "qorvin-" + std::to_string(getpid()) + "-" + name;
  detail::TempPaths::Instance().Add(path);
  return path;
}

}  // namespace qorvin::test
