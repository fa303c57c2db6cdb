// A main for a fuzz harness in builds without libFuzzer: runs every file
// named on the command line, or found in a directory named there, once
// through LLVMFuzzerTestOneInput, in name order. A harness that detects a
// fault aborts, so the test fails with the input's name on stderr.

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

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::string> found;
            for (const auto &entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file()) found.push_back(entry.path().string());
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (std::filesystem::exists(arg, ec)) {
            files.push_back(arg.string());
        } else {
            fprintf(stderr, "replay: no such input: %s\n", argv[i]);
            return 2;
        }
    }
    for (const auto &name : files) {
        std::ifstream in(name, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        fprintf(stderr, "replay: %s (%zu bytes)\n", name.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("replay: %zu inputs ran\n", files.size());
    return files.empty() ? 1 : 0;
}
