#include "app/LibsecretKeyring.h"

#include "app/GLibHandles.h"
#include "app/VelmoraClassroomMain.h"

#include <libsecret/secret.h>

#include <stdexcept>

namespace velmora {

namespace {

using SecretValuePtr = std::unique_ptr<SecretValue, GReleaser<secret_value_unref>>;

SecretSchema makeStoreSecretSchema() {
    SecretSchema schema{};  // the attribute list ends at the first unnamed entry
    schema.name = "com.velmora.Classroom.StoreSecret";
    schema.flags = SECRET_SCHEMA_NONE;
    schema.attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
    schema.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return schema;
}

const SecretSchema* storeSecretSchema() {
    static const SecretSchema schema = makeStoreSecretSchema();
    return &schema;
}

void throwIf(GError* raw) {
    GErrorPtr error(raw);
    if (error) throw std::runtime_error(error->message);
}

// The default collection, if it exists and is unlocked: storing elsewhere would make the service
// prompt the learner to create or unlock one.
void requireOpenDefaultCollection() {
    GError* error = nullptr;
    GObjectPtr<SecretService> service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error));
    throwIf(error);
    GObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    throwIf(error);
    if (!collection) throw std::runtime_error("the Secret Service has no default collection");
    if (secret_collection_get_locked(collection.get())) throw std::runtime_error("the default collection is locked");
}

}  // namespace

std::optional<SecretBytes> LibsecretKeyring::lookup() const {
    GError* error = nullptr;
    SecretValuePtr value(secret_password_lookup_binary_sync(storeSecretSchema(), nullptr, &error, "application",
                                                            VelmoraClassroomMain::kApplicationId, "user", userName_.c_str(),
                                                            nullptr));
    throwIf(error);
    if (!value) return std::nullopt;
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return SecretBytes(ByteView(reinterpret_cast<const std::uint8_t*>(bytes), length));
}

void LibsecretKeyring::store(ByteView secret) const {
    requireOpenDefaultCollection();
    SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(secret.data()), static_cast<gssize>(secret.size()),
                                          "application/octet-stream"));
    GError* error = nullptr;
    secret_password_store_binary_sync(storeSecretSchema(), SECRET_COLLECTION_DEFAULT, "星禾课堂本机加密存储密钥", value.get(),
                                      nullptr, &error, "application", VelmoraClassroomMain::kApplicationId, "user",
                                      userName_.c_str(), nullptr);
    throwIf(error);
}

}  // namespace velmora
