// The main of a fuzz target built without libFuzzer: runs the target over
// its checked-in corpus, so that every build (the sanitiser build in
// particular) compiles each target and feeds it the inputs that once
// mattered. Each argument is a file or a directory, whose regular files are
// taken in name order; each file is one input. Fails when no input was run,
// so a corpus that went missing does not pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An empty input gets a valid pointer, as libFuzzer gives one.
  static const uint8_t kNone = 0;
  LLVMFuzzerTestOneInput(bytes.empty() ? &kNone : bytes.data(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(arg);
    }
    for (const auto& f : files) {
      if (!RunFile(f)) return 1;
      ++ran;
    }
  }
  if (ran == 0) {
    std::fprintf(stderr, "no input was run\n");
    return 1;
  }
  std::printf("ran %zu inputs\n", ran);
  return 0;
}
