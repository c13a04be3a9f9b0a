// The page's download body and the asset identifier check: any JSON text gives either no request or
// one that keeps the request's invariants, and a safe identifier can never name another file.
#include "FuzzInput.h"
#include "core/Unicode.h"
#include "vault/DownloadRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    if (DownloadRequest::isSafeAssetId(text)) {
        fuzz::check(
            !text.empty() && text.find_first_of("./\\%") == std::string_view::npos && text.find('\0') == std::string_view::npos,
            "a safe identifier holds a path character");
        fuzz::check(graphemeCount(text) <= DownloadRequest::kMaxAssetIdCharacters, "a safe identifier is too long");
    }

    Json body = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) return 0;
    std::optional<DownloadRequest> request = DownloadRequest::fromDictionary(body);
    if (!request) return 0;
    fuzz::check(DownloadRequest::isSafeAssetId(request->assetId), "request with an unsafe identifier");
    fuzz::check(!request->token.empty() && graphemeCount(request->token) <= DownloadRequest::kMaxTokenCharacters,
                "request token out of bounds");
    fuzz::check(graphemeCount(request->ownerKey) <= DownloadRequest::kMaxOwnerKeyCharacters, "owner key too long");
    fuzz::check(request->classId > 0 && request->lessonId > 0, "request without class or lesson");
    return 0;
}
