#include "core/Payload.h"

#include <charconv>
#include <cmath>

namespace velmora {

const Json* payloadValue(const Json& payload, std::string_view key) {
    if (!payload.is_object()) return nullptr;
    auto found = payload.find(key);
    return found == payload.end() ? nullptr : &*found;
}

std::string payloadText(const Json& payload, std::string_view key) {
    const Json* value = payloadValue(payload, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

bool parseDecimalInt64(std::string_view text, std::int64_t& out) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return false;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    // from_chars takes "-" but not "+"; parse the sign-free digits when the sign is "+".
    std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return false;
    out = value;
    return true;
}

namespace {

std::int64_t truncatedFloat(double value) {
    // 2^63 is exactly representable; every double in [-2^63, 2^63) truncates into range.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!std::isfinite(value) || value >= kTwoTo63 || value < -kTwoTo63) return 0;
    return static_cast<std::int64_t>(std::trunc(value));
}

}  // namespace

std::int64_t integer(const Json* value) {
    if (value == nullptr) return 0;
    switch (value->type()) {
        case Json::value_t::boolean:
            return value->get<bool>() ? 1 : 0;
        case Json::value_t::number_integer:
            return value->get<std::int64_t>();
        case Json::value_t::number_unsigned: {
            auto unsignedValue = value->get<std::uint64_t>();
            return unsignedValue > static_cast<std::uint64_t>(INT64_MAX) ? 0 : static_cast<std::int64_t>(unsignedValue);
        }
        case Json::value_t::number_float:
            return truncatedFloat(value->get<double>());
        case Json::value_t::string: {
            std::int64_t parsed = 0;
            return parseDecimalInt64(value->get_ref<const std::string&>(), parsed) ? parsed : 0;
        }
        default:
            return 0;
    }
}

std::int64_t payloadInteger(const Json& payload, std::string_view key) { return integer(payloadValue(payload, key)); }

}  // namespace velmora
