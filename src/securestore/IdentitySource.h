#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace velmora {

// Who and where the process runs: the inputs of the secure store's wrapping key. Tests substitute
// it; the system one reads the machine id and asks the C library about the user and host.
class IdentitySource {
public:
    virtual ~IdentitySource() = default;
    // The machine's identity as stored, or "" when the machine has none.
    virtual std::string platformIdentity() const = 0;
    // The host's human-readable name, or "" when none is set.
    virtual std::string localizedHostName() const = 0;
    virtual std::string hostName() const = 0;
    // The process's real user id and that user's login name.
    virtual std::uint32_t userId() const = 0;
    virtual std::string userName() const = 0;

    // The process's own identity. Thread-safe.
    static std::shared_ptr<const IdentitySource> system();
};

// Reads /etc/machine-id (then /var/lib/dbus/machine-id), the pretty host name from
// /etc/machine-info, getuid(), getpwuid() and gethostname(). Nothing is cached.
class SystemIdentitySource : public IdentitySource {
public:
    struct Files {
        std::filesystem::path machineId = "/etc/machine-id";
        std::filesystem::path dbusMachineId = "/var/lib/dbus/machine-id";
        std::filesystem::path machineInfo = "/etc/machine-info";
    };

    SystemIdentitySource() = default;
    explicit SystemIdentitySource(Files files) : files_(std::move(files)) {}

    std::string platformIdentity() const override;
    std::string localizedHostName() const override;
    std::string hostName() const override;
    std::uint32_t userId() const override;
    std::string userName() const override;

    // The value of PRETTY_HOSTNAME in machine-info text (shell-style quoting), or "".
    static std::string prettyHostName(const std::string& machineInfo);

private:
    Files files_;
};

}  // namespace velmora
