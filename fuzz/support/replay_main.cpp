// Driver for builds without libFuzzer: runs every file in the given folders
// (or the given files) through LLVMFuzzerTestOneInput once. Each input is
// handed over in an allocation of exactly its size so ASan sees overreads.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void run_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
}

int main(int argc, char **argv) {
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto &entry : fs::directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                run_file(entry.path());
                ++count;
            }
        } else if (fs::exists(arg)) {
            run_file(arg);
            ++count;
        }
    }
    printf("replayed %zu inputs\n", count);
    return 0;
}
