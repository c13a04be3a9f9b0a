#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

using Json = nlohmann::json;

// Lenient reads of page payloads: a missing key or a value of the wrong kind is the empty text or 0.

// The value under `key` if `payload` is an object holding a text there; otherwise "".
std::string payloadText(const Json& payload, std::string_view key);

// The value under `key`, or nullptr when `payload` is not an object or the key is missing.
const Json* payloadValue(const Json& payload, std::string_view key);

// A payload value as a signed 64-bit integer: numbers truncated toward zero (0 when not finite or
// outside the 64-bit range), true 1, false 0, strict decimal text with one optional sign, else 0.
std::int64_t integer(const Json* value);

// integer() of the value under `key`.
std::int64_t payloadInteger(const Json& payload, std::string_view key);

// Strict base-10 parse: optional single "+" or "-", then one or more ASCII digits, in range.
bool parseDecimalInt64(std::string_view text, std::int64_t& out);

}  // namespace velmora
