// Built without libFuzzer (VORNALT_REPLAY), a fuzz target replays every file
// in the folders it is given: its seeds and the saved findings.
#pragma once

#ifdef VORNALT_REPLAY
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            std::vector<std::uint8_t> data;
            std::FILE* f = std::fopen(entry.path().c_str(), "rb");
            for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
            std::fclose(f);
            LLVMFuzzerTestOneInput(data.data(), data.size());
        }
    }
}
#endif
