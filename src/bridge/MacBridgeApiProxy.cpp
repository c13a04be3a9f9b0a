// The API request proxy command.
#include "bridge/ApiProxy.h"
#include "bridge/MacBridge.h"

namespace velmora {

void MacBridge::proxyAPI(const Json& payload) {
    std::string requestId = payloadText(payload, "requestId");
    if (!environment_.http || !environment_.mainQueue) {
        post(ApiProxy::Outcome{false, Json(), environment_.httpUnavailableReason}.reply(requestId));
        return;
    }
    // The reply needs the bridge, but an answer still in flight must not keep it alive.
    std::weak_ptr<MacBridge> weak = weak_from_this();
    ApiProxy::performAPIRequest(*environment_.http, *environment_.mainQueue, payload, environment_.endpoints,
                                environment_.apiTimeout, [weak, requestId](ApiProxy::Outcome outcome) {
                                    if (auto self = weak.lock()) self->post(outcome.reply(requestId));
                                });
}

}  // namespace velmora
