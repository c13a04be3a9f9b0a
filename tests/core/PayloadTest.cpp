#include "core/Payload.h"

#include <gtest/gtest.h>

#include <limits>

namespace velmora {
namespace {

using Limits = std::numeric_limits<std::int64_t>;

TEST(PayloadTest, IntegerCoercesAsThePayloadRulesSay) {
    const std::vector<std::tuple<const char*, Json, std::int64_t>> cases = {
        {"FractionTruncatesDown", 7.9, 7}, {"NegativeFractionTruncatesUp", -7.9, -7}, {"PlusSignText", "+15", 15},
        {"MinusSignText", "-42", -42}, {"TwoTo63TextIsOutOfRange", "9223372036854775808", 0},
        {"Int64MinText", "-9223372036854775808", Limits::min()}, {"Int64MaxText", "9223372036854775807", Limits::max()},
        {"True", true, 1}, {"False", false, 0}, {"LeadingSpace", " 120", 0}, {"TrailingSpace", "120 ", 0},
        {"EmptyText", "", 0}, {"SignOnly", "+", 0}, {"TwoSigns", "+-1", 0}, {"DecimalPointText", "1.5", 0},
        {"ExponentText", "1e3", 0}, {"FullWidthDigits", "\xEF\xBC\x91", 0}, {"Null", nullptr, 0},
        {"Array", Json::array({1}), 0}, {"Object", Json::object({{"a", 1}}), 0}, {"HugeFloat", 1e300, 0},
        {"FloatAtTwoTo63", 9223372036854775808.0, 0}, {"FloatAtMinusTwoTo63", -9223372036854775808.0, Limits::min()},
        {"UnsignedAboveInt64", std::numeric_limits<std::uint64_t>::max(), 0}, {"PlainInteger", 125, 125},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), 0}, {"Infinity", std::numeric_limits<double>::infinity(), 0},
    };
    for (const auto& [name, value, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(integer(&value), expected);
    }
}

TEST(PayloadTest, MissingValuesAreZeroOrEmpty) {
    EXPECT_EQ(integer(nullptr), 0);
    EXPECT_EQ(payloadInteger(Json::object(), "percent"), 0);
    EXPECT_EQ(payloadInteger(Json::array(), "percent"), 0);
    EXPECT_EQ(payloadText(Json{{"token", 5}}, "token"), "");
    EXPECT_EQ(payloadText(Json{{"token", "abc"}}, "token"), "abc");
    EXPECT_EQ(payloadText(Json("text"), "token"), "");
}

}  // namespace
}  // namespace velmora
