// The fuzz targets without libFuzzer: runs every input it is given through the target's
// LLVMFuzzerTestOneInput once, so that the seeds and every crash ever found (fuzz/corpus/<name>/)
// are replayed by the ordinary test run, under the sanitizers of the build.
//
//   replay_<name> PATH...   each PATH is a file, or a folder whose files (not sub-folders) are
//                           all taken, in name order
//
// A finding ends the program the way it would end the fuzzer: a sanitizer report, an abort, an
// uncaught exception. Exit status 0 when every input ran; 1 when a path cannot be read or no
// input was found (an empty corpus is a mistake, not a pass).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& inputs) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec))
      if (entry.is_regular_file()) found.push_back(entry.path());
    if (ec) return false;
    std::sort(found.begin(), found.end());
    inputs.insert(inputs.end(), found.begin(), found.end());
    return true;
  }
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  inputs.push_back(path);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!Collect(argv[i], inputs)) {
      std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs (usage: %s FILE-OR-FOLDER...)\n", argv[0]);
    return 1;
  }
  for (const auto& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "replay: %zu inputs, no finding\n", inputs.size());
  return 0;
}
