// The coordinator's reader of the course API's authorisation answer: any status and body give an
// https media address or a VelmoraError (JSON's own parse failures, a number overflow among them,
// pass through), never another failure.
#include "FuzzInput.h"
#include "core/VelmoraError.h"
#include "downloads/DownloadCoordinator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora;
    fuzz::FuzzInput input(data, size);
    // Around 200, so a zero prefix is a success status.
    long status = 200 + static_cast<std::int16_t>(input.integer(2));
    std::string body = input.rest();
    bool success = status >= 200 && status <= 299;
    try {
        std::string address = DownloadCoordinator::mediaAddressFromAnswer(status, body);
        fuzz::check(success, "an address from a failed status");
        fuzz::check(address.rfind("https:", 0) == 0, "a media address that is not https");
    } catch (const VelmoraError& error) {
        if (!success) {
            fuzz::check(std::string(error.what()) == "课程授权服务返回 HTTP " + std::to_string(status),
                        "a failed status with another message");
        }
    } catch (const Json::exception&) {
        fuzz::check(success, "a failed status read as JSON");
    }
    return 0;
}
