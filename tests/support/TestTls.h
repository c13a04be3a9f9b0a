#pragma once

#include <filesystem>

#include "support/TempDirectory.h"

namespace velmora::test {

// A certificate authority and a server certificate for 127.0.0.1 and "localhost", made fresh by the
// demo service's certificate maker in a temporary folder. Throws std::runtime_error with OpenSSL's
// text when generation fails.
class TestTls {
public:
    TestTls();

    const std::filesystem::path& caFile() const { return caFile_; }
    const std::filesystem::path& certificateFile() const { return certificateFile_; }
    const std::filesystem::path& privateKeyFile() const { return privateKeyFile_; }

    // The material made once for the whole test program (key generation is not free).
    static const TestTls& shared();

private:
    TempDirectory folder_;
    std::filesystem::path caFile_;
    std::filesystem::path certificateFile_;
    std::filesystem::path privateKeyFile_;
};

}  // namespace velmora::test
