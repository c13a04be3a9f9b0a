// Runs a fuzz target over every file under the folders (or files) given, once each, as libFuzzer
// does when it is handed a corpus. Lets the gcc build replay the committed corpora without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runOne(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    // The targets keep their vaults and stores for the whole run and never remove them; they are
    // made inside this folder, which goes at the end.
    std::string scratch = (std::filesystem::temp_directory_path() / "velmora-replay-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) return 1;
    ::setenv("TMPDIR", scratch.c_str(), 1);
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path root(argv[i]);
        if (std::filesystem::is_regular_file(root)) {
            runOne(root);
            ++count;
            continue;
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            runOne(entry.path());
            ++count;
        }
    }
    std::filesystem::remove_all(scratch);
    std::cout << "replayed " << count << " inputs\n";
    return count == 0 ? 1 : 0;
}
