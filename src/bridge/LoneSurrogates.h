#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The page's JSON text with every escaped lone surrogate ("\ud83d" not followed by an escaped low
// surrogate, or "\udc00" not preceded by a high one) replaced by "\ufffd". Script engines'
// JSON.stringify writes them for a string cut inside a pair, and a strict JSON parser refuses
// the whole message for one. Escaped pairs, raw UTF-8 and every other byte stay as they are.
std::string replaceLoneSurrogates(std::string_view json);

}  // namespace velmora
