#include "securestore/IdentitySource.h"

#include "support/TempDirectory.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace velmora {
namespace {

using test::TempDirectory;

SystemIdentitySource sourceIn(const TempDirectory& dir) {
    return SystemIdentitySource({dir / "machine-id", dir / "dbus-machine-id", dir / "machine-info"});
}

TEST(IdentitySourceTest, MachineIdComesFromTheFirstFileWithTrailingNewlineRemoved) {
    TempDirectory dir;
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "");
    test::writeFile(dir / "dbus-machine-id", std::string("dbus0123\n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "dbus0123");
    test::writeFile(dir / "machine-id", std::string(" etc0123 \n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), " etc0123 ");  // used as read, only the newline goes
    test::writeFile(dir / "machine-id", std::string("\n"));
    EXPECT_EQ(sourceIn(dir).platformIdentity(), "dbus0123");
}

TEST(IdentitySourceTest, PrettyHostNameHandlesShellQuoting) {
    EXPECT_EQ(SystemIdentitySource::prettyHostName(""), "");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("CHASSIS=laptop\nPRETTY_HOSTNAME=Plain\n"), "Plain");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("PRETTY_HOSTNAME=\"Lin's \\\"Book\\\"\"\n"), "Lin's \"Book\"");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("PRETTY_HOSTNAME='星禾 | 书房'"), "星禾 | 书房");
    EXPECT_EQ(SystemIdentitySource::prettyHostName("#PRETTY_HOSTNAME=no\n"), "");
}

TEST(IdentitySourceTest, UserAndHostComeFromTheProcess) {
    TempDirectory dir;
    SystemIdentitySource source = sourceIn(dir);
    EXPECT_EQ(source.userId(), ::getuid());
    EXPECT_FALSE(source.userName().empty());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(source.hostName(), host);
    EXPECT_EQ(source.localizedHostName(), "");
}

}  // namespace
}  // namespace velmora
