// Corpus replayer: the main() that turns a fuzz target into a plain program.
// Every argument is a file or a directory of files; each file is passed once
// to LLVMFuzzerTestOneInput. A broken property aborts, so a non-zero exit
// status means a failing input (its name is printed before it runs when
// VARDEL_REPLAY_VERBOSE is set, and always on a failure to read).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool run_file(const std::filesystem::path& path, bool verbose) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (verbose) std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
  // Copy into an exactly sized buffer so that AddressSanitizer sees reads past its end.
  auto* data = static_cast<std::uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (data == nullptr) return false;
  std::copy(bytes.begin(), bytes.end(), data);
  LLVMFuzzerTestOneInput(data, bytes.size());
  std::free(data);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool verbose = std::getenv("VARDEL_REPLAY_VERBOSE") != nullptr;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        if (!run_file(file, verbose)) return 2;
        ++count;
      }
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      if (!run_file(arg, verbose)) return 2;
      ++count;
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("%s: replayed %zu inputs\n", argv[0], count);
  return 0;
}
