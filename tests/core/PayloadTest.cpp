#include "core/Payload.h"

#include <gtest/gtest.h>

#include <limits>

namespace velmora {
namespace {

struct IntegerCase {
    const char* name;
    Json value;
    std::int64_t expected;
};

std::vector<IntegerCase> integerCases() {
    return {
        {"FractionTruncatesDown", 7.9, 7},
        {"NegativeFractionTruncatesUp", -7.9, -7},
        {"PlusSignText", "+15", 15},
        {"MinusSignText", "-42", -42},
        {"TwoTo63TextIsOutOfRange", "9223372036854775808", 0},
        {"Int64MinText", "-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"Int64MaxText", "9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"True", true, 1},
        {"False", false, 0},
        {"LeadingSpace", " 120", 0},
        {"TrailingSpace", "120 ", 0},
        {"EmptyText", "", 0},
        {"SignOnly", "+", 0},
        {"TwoSigns", "+-1", 0},
        {"DecimalPointText", "1.5", 0},
        {"ExponentText", "1e3", 0},
        {"FullWidthDigits", "\xEF\xBC\x91", 0},
        {"Null", nullptr, 0},
        {"Array", Json::array({1}), 0},
        {"Object", Json::object({{"a", 1}}), 0},
        {"HugeFloat", 1e300, 0},
        {"FloatAtTwoTo63", 9223372036854775808.0, 0},
        {"FloatAtMinusTwoTo63", -9223372036854775808.0, std::numeric_limits<std::int64_t>::min()},
        {"UnsignedAboveInt64", std::numeric_limits<std::uint64_t>::max(), 0},
        {"PlainInteger", 125, 125},
    };
}

class IntegerTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTest, CoercesAsThePayloadRulesSay) {
    const Json& value = GetParam().value;
    EXPECT_EQ(integer(&value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Payload, IntegerTest, testing::ValuesIn(integerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PayloadTest, MissingValuesAreZeroOrEmpty) {
    EXPECT_EQ(integer(nullptr), 0);
    EXPECT_EQ(payloadInteger(Json::object(), "percent"), 0);
    EXPECT_EQ(payloadInteger(Json::array(), "percent"), 0);
    EXPECT_EQ(payloadText(Json{{"token", 5}}, "token"), "");
    EXPECT_EQ(payloadText(Json{{"token", "abc"}}, "token"), "abc");
    EXPECT_EQ(payloadText(Json("text"), "token"), "");
}

TEST(PayloadTest, NonFiniteFloatsGiveZero) {
    Json nan = std::numeric_limits<double>::quiet_NaN();
    Json inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(integer(&nan), 0);
    EXPECT_EQ(integer(&inf), 0);
}

}  // namespace
}  // namespace velmora
