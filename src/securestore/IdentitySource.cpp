#include "securestore/IdentitySource.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace velmora {

namespace {

std::string readTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Shell-style value: unquoted, or in single quotes (literal), or in double quotes (backslash escapes).
std::string unquoteShellValue(const std::string& raw) {
    if (raw.size() >= 2 && raw.front() == '\'' && raw.back() == '\'') return raw.substr(1, raw.size() - 2);
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        std::string out;
        for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 2 < raw.size()) ++i;
            out.push_back(raw[i]);
        }
        return out;
    }
    return raw;
}

}  // namespace

std::shared_ptr<const IdentitySource> IdentitySource::system() {
    static const auto identity = std::make_shared<const SystemIdentitySource>();
    return identity;
}

std::string SystemIdentitySource::platformIdentity() const {
    for (const auto& path : {files_.machineId, files_.dbusMachineId}) {
        std::string id = readTextFile(path);
        if (!id.empty() && id.back() == '\n') id.pop_back();
        if (!id.empty()) return id;
    }
    return {};
}

std::string SystemIdentitySource::prettyHostName(const std::string& machineInfo) {
    static constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
    std::istringstream lines(machineInfo);
    std::string line;
    std::string value;
    while (std::getline(lines, line)) {
        if (line.rfind(kKey, 0) == 0) value = unquoteShellValue(line.substr(kKey.size()));
    }
    return value;
}

std::string SystemIdentitySource::localizedHostName() const { return prettyHostName(readTextFile(files_.machineInfo)); }

std::string SystemIdentitySource::hostName() const {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::uint32_t SystemIdentitySource::userId() const { return ::getuid(); }

std::string SystemIdentitySource::userName() const {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
    return found->pw_name;
}

}  // namespace velmora
