// The fuzz targets without libFuzzer: feeds each file named on the command line to
// LLVMFuzzerTestOneInput once, so any compiler replays the corpora. A finding aborts.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        // A buffer of the exact size, so a read beyond the end stands out to the sanitizers.
        const std::unique_ptr<uint8_t[]> data(new uint8_t[text.size()]);
        std::copy(text.begin(), text.end(), data.get());
        LLVMFuzzerTestOneInput(data.get(), text.size());
    }
    std::printf("replay: %d inputs, no finding\n", argc - 1);
    return argc > 1 ? 0 : 2;
}
