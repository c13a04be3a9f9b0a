#pragma once

#include <string_view>

namespace velmora {

// One account's lesson as the vault's operations name it: the account key that must own it and
// its asset identifier. Views only: the caller keeps both texts alive for the call.
struct OwnedLesson {
    std::string_view ownerKey;
    std::string_view assetId;
};

}  // namespace velmora
