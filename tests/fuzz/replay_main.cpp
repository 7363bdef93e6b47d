// Feeds every file under the given paths (files or directories, recursively)
// to LLVMFuzzerTestOneInput once, in name order: the committed corpus as a
// regression test, built without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        fs::path p = argv[i];
        if (!fs::is_directory(p)) {
            files.push_back(p);
            continue;
        }
        for (auto& e : fs::recursive_directory_iterator(p))
            if (e.is_regular_file()) files.push_back(e.path());
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (auto& f : files) {
        std::ifstream s(f, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(s)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replay: %zu inputs\n", files.size());
    return 0;
}
