// The media scheme's Range header parser: any header text against any media size gives either no
// range or one that lies inside the media.
#include "FuzzInput.h"
#include "schemes/MediaSchemeHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmora;
    fuzz::FuzzInput input(data, size);
    // Shifted, so small sizes (where clamping and suffixes meet the edges) come up often.
    std::uint64_t total = input.integer(8) >> (input.byte() % 64);
    bool present = (input.byte() & 1) != 0;
    std::string header = input.rest();
    auto range = MediaSchemeHandler::parseRange(present ? std::optional<std::string_view>(header) : std::nullopt, total);
    if (!range) return 0;
    fuzz::check(present && total > 0, "a range without a header or media");
    fuzz::check(range->start <= range->end && range->end < total, "range outside the media");
    return 0;
}
