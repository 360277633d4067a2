// Replays the committed inputs of one fuzz harness: its seeds and every input that once
// made it fail, so a fault the fuzzer found stays fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> corpus_files() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(KV830_FUZZ_CORPUS)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(FuzzRegression, EveryCommittedInputRunsCleanly) {
    const std::vector<std::filesystem::path> files = corpus_files();
    ASSERT_FALSE(files.empty()) << "no inputs for " << KV830_FUZZ_HARNESS;
    testing::internal::CaptureStdout();  // the device's diagnostic lines
    for (const std::filesystem::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        // The harness aborts on a broken invariant; a sanitizer stops the process.
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size()),
                  0);
    }
    testing::internal::GetCapturedStdout();
}
