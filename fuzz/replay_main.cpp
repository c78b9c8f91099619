// A main for a fuzz target without libFuzzer: feeds every file named on the
// command line (or found in a directory named there) to the target once.
// The normal test build uses it to replay the seed corpora, the regression
// inputs among them, with any compiler and under the sanitizer build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool replay(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that the sanitizers see a read
  // past its end.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize != nullptr) {
    LLVMFuzzerInitialize(&argc, &argv);
  }
  int count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> files;
      for (const auto &item : std::filesystem::directory_iterator(arg)) {
        if (item.is_regular_file()) {
          files.push_back(item.path());
        }
      }
      std::sort(files.begin(), files.end());
      for (const auto &file : files) {
        ok = replay(file) && ok;
        ++count;
      }
    } else {
      ok = replay(arg) && ok;
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return ok && count > 0 ? 0 : 1;
}
