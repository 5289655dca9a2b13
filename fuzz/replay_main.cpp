// Corpus replayer: runs LLVMFuzzerTestOneInput once on each file named or found under a named
// directory; a broken property aborts. VARDEL_REPLAY_VERBOSE prints each name first.
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

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_regular_file(argv[i]))
      files.push_back(argv[i]);
    else if (!fs::is_directory(argv[i]))
      return std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]), 2;
    else
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) files.push_back(entry.path());
  }
  if (argc < 2) return std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]), 2;
  std::sort(files.begin(), files.end());
  for (const fs::path& path : files) {
    std::ifstream f(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> bytes(text.begin(),
                                    text.end());  // exactly sized: ASan sees reads past the end
    if (!f.good() && !f.eof())
      return std::fprintf(stderr, "replay: cannot read %s\n", path.c_str()), 2;
    if (std::getenv("VARDEL_REPLAY_VERBOSE"))
      std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%s: replayed %zu inputs\n", argv[0], files.size());
}
