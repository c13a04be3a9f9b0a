// The secure store over an entry file holding any bytes (or any plaintext sealed the right way):
// load, session load and the bridge's restoreSession give a clear answer, restoreSession replies
// exactly once, and nothing is lost: the entry stays as it was, the vault's master key is unchanged.
#include <algorithm>

#include "FuzzInput.h"
#include "core/VelmoraError.h"
#include "securestore/DeviceSecureStore.h"
#include "support/FakeIdentity.h"
#include "support/FakePage.h"
#include "support/TempDirectory.h"

namespace {

using namespace velmora;

struct Fixture {
    test::TempDirectory root;
    std::shared_ptr<test::FakeIdentity> identity = std::make_shared<test::FakeIdentity>();
    DeviceSecureStore store{root.path(), identity};
    SecretBytes masterKey = store.loadOrCreateMasterKey();
};

Fixture& fixture() {
    static Fixture* shared = new Fixture;
    return *shared;
}

std::size_t countOfType(const std::vector<Json>& messages, std::initializer_list<std::string_view> types) {
    return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(), [&](const Json& message) {
        std::string type = payloadText(message, "type");
        return std::find(types.begin(), types.end(), type) != types.end();
    }));
}

void checkSession(Fixture& f) {
    const std::filesystem::path entry = f.store.fileURL(DeviceSecureStore::kSessionAccount);
    const std::string before = test::readText(entry);
    bool opens = true;
    try {
        f.store.load(DeviceSecureStore::kSessionAccount);
    } catch (const VelmoraError&) {
        opens = false;
    }
    try {
        f.store.loadSession();
    } catch (const VelmoraError&) {
        fuzz::check(!opens, "an entry that opens read as foreign");
    } catch (const Json::exception&) {
        fuzz::check(opens, "an entry that does not open read as JSON");
    }

    BridgeEnvironment environment;
    environment.dataRoot = f.root.path();
    environment.identity = f.identity;
    test::FakePage page(environment);
    page.send({{"type", "restoreSession"}});
    std::vector<Json> messages = page.messages();
    fuzz::check(countOfType(messages, {"session", "noSession"}) == 1, "restoreSession did not reply exactly once");
    if (page.bridge->heldSession()) {
        fuzz::check(!page.bridge->heldSession()->token.empty() && !page.bridge->heldSession()->ownerKey.empty(),
                    "a session held without token or account");
    }
    fuzz::check(test::readText(entry) == before, "reading the session changed its entry");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    fuzz::FuzzInput input(data, size);
    std::uint8_t mode = input.byte() % 3;
    std::string bytes = input.rest();
    if (mode == 0) {
        test::writeFile(f.store.fileURL(DeviceSecureStore::kSessionAccount), bytes);
        checkSession(f);
    } else if (mode == 1) {
        f.store.save(bytesOf(bytes), DeviceSecureStore::kSessionAccount);
        checkSession(f);
    } else {
        // A master key entry that does not open is refused and kept, so the vault can still be
        // opened once the cause is fixed.
        const std::filesystem::path entry = f.store.fileURL(DeviceSecureStore::kMasterKeyAccount);
        const std::string kept = test::readText(entry);
        test::writeFile(entry, bytes);
        try {
            SecretBytes key = f.store.loadOrCreateMasterKey();
            fuzz::check(key.size() == DeviceSecureStore::kMasterKeySizeBytes, "a master key of another size");
        } catch (const VelmoraError&) {
            fuzz::check(test::readText(entry) == bytes, "a master key entry that does not open was replaced");
        }
        test::writeFile(entry, kept);
    }
    fuzz::check(std::ranges::equal(f.store.loadOrCreateMasterKey().span(), f.masterKey.span()), "the vault's master key changed");
    return 0;
}
