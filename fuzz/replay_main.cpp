// A tiny main for a fuzz target, so that a build without libFuzzer (GCC, the sanitizers) runs
// the target's seed corpus, and every crasher added to it, as an ordinary test. It feeds each
// file of the folders named on the command line (and each file named there) to the target's
// entry point, one at a time and in name order, each in a buffer of exactly its size.
// Exit status: 0 when every input ran, 1 when there was none to run or a file could not be read;
// a failing input crashes the program as it would crash the fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize);
// Optional in a target; null when the target does not define it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* AArgc, char*** AArgv);

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& APath,
                                            std::error_code& AError) {
  std::vector<std::filesystem::path> inputs;
  if (!std::filesystem::is_directory(APath, AError)) {
    inputs.push_back(APath);
    return inputs;
  }
  for (std::filesystem::recursive_directory_iterator it(APath, AError), end; !AError && it != end;
       it.increment(AError)) {
    if (it->is_regular_file()) inputs.push_back(it->path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    const std::vector<std::filesystem::path> inputs = InputsOf(argv[i], error);
    if (error) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
      return 1;
    }
    for (const std::filesystem::path& input : inputs) {
      std::ifstream file(input, std::ios::binary);
      const std::string bytes{std::istreambuf_iterator<char>(file), {}};
      if (!file && !file.eof()) {
        std::fprintf(stderr, "%s: cannot be read\n", input.c_str());
        return 1;
      }
      // A buffer of exactly the input's size, so a read past its end is caught.
      const auto data = std::make_unique<std::uint8_t[]>(bytes.size());
      std::copy(bytes.begin(), bytes.end(), data.get());
      std::fprintf(stderr, "%s\n", input.c_str());
      LLVMFuzzerTestOneInput(data.get(), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  if (replayed == 0) {
    std::fprintf(stderr, "no input to replay: a fuzz target needs its seed corpus\n");
    return 1;
  }
  return 0;
}
