// Replays fuzz inputs through the fuzz target without libFuzzer: every file named, and every file
// in every directory named, in name order. A broken invariant aborts, as it does when fuzzing.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "file_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[]) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        if (fs::is_directory(argv[i])) {
            for (const auto &entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else {
            inputs.push_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s FILE|DIRECTORY...: no input found\n", argv[0]);
        return 2;
    }
    for (const fs::path &input : inputs) {
        test_files::Bytes bytes = test_files::read_file(input);
        fprintf(stderr, "%s\n", input.c_str());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
