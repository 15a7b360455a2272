// Stands in for libFuzzer in the ordinary build: hands every file of the
// folders (or the files) named on the command line, in name order, once to
// the target's LLVMFuzzerTestOneInput. A target aborts on a fault, so a run
// that ends is a pass; a run that finds no input at all fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TempRoot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!fs::exists(argv[i])) {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 1;
        }
        if (!fs::is_directory(argv[i])) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        for (const auto& entry : fs::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) {
                inputs.push_back(entry.path());
            }
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    for (const fs::path& path : inputs) {
        const std::string text = ReadFile(path);
        // A buffer of exactly the input's size, so that a read past its end
        // shows under AddressSanitizer as it would under the fuzzer.
        std::unique_ptr<uint8_t[]> data(new uint8_t[text.size()]);
        std::memcpy(data.get(), text.data(), text.size());
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(data.get(), text.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
