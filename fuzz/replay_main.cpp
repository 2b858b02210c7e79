// Runs a fuzz target once over each file given, or over every file of each folder
// given: the seed corpus and the kept regressions, replayed by ctest in the builds
// without libFuzzer. Exits 0 when every input ran; a broken invariant aborts.
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path given(argv[i]);
        if (!std::filesystem::is_directory(given)) {
            files.push_back(given.string());
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(given))
            if (entry.is_regular_file())
                files.push_back(entry.path().string());
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 1;
    }
    for (const std::string& file : files) {
        fuzz::Bytes bytes = fuzz::readFile(file);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
