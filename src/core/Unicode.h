#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// Text limits count user-perceived characters: ICU extended grapheme clusters over UTF-8 text.
// Invalid UTF-8 sequences count as U+FFFD each.

std::size_t graphemeCount(std::string_view utf8);

// The first `count` grapheme clusters of `utf8` (all of it when it has fewer).
std::string graphemePrefix(std::string_view utf8, std::size_t count);

// True when the code point's general category is a letter (L*), mark (M*) or number (N*).
bool isLetterMarkOrNumber(char32_t codePoint);

// Compares the NFC forms of two texts code point by code point.
std::strong_ordering compareNFC(std::string_view a, std::string_view b);

}  // namespace velmora
