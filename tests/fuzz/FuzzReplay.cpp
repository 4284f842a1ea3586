// Replays fuzz inputs without libFuzzer: every file named on the command line, and every file in a
// directory named there, goes once through LLVMFuzzerTestOneInput. Used as a regression test over
// the seed corpora with an ordinary compiler. Fails when a directory holds no input, so that a
// missing corpus cannot pass unnoticed.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; i++) {
        std::vector<fs::path> inputs;
        if (fs::is_directory(argv[i])) {
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
            std::sort(inputs.begin(), inputs.end());
            if (inputs.empty()) {
                std::fprintf(stderr, "%s: no inputs\n", argv[i]);
                return 1;
            }
        } else {
            inputs.emplace_back(argv[i]);
        }
        for (const auto& path : inputs) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "%s: cannot read\n", path.c_str());
                return 1;
            }
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            replayed++;
        }
    }
    std::printf("replayed %zu inputs\n", replayed);
    return 0;
}
