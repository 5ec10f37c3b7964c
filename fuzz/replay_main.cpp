// Replays every file in the folders named on the command line through the
// fuzz target's entry point, so the normal test build checks the seeds and
// every input a fuzzer once found.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            std::vector<std::uint8_t> data;
            std::FILE* f = std::fopen(entry.path().c_str(), "rb");
            for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
            if (f != nullptr) std::fclose(f);
            LLVMFuzzerTestOneInput(data.data(), data.size());
        }
    }
    return 0;
}
