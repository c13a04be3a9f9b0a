#include "core/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>
#include <stdexcept>

namespace velmora {

namespace {

// Break iterators are costly to create and not thread-safe; keep one per thread.
icu::BreakIterator& characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !made) throw std::runtime_error(std::string("ICU break iterator: ") + u_errorName(status));
        return made;
    }();
    return *iterator;
}

icu::UnicodeString fromUtf8(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

bool isAscii(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8) {
    // ASCII without CR LF pairs is one cluster per byte; this keeps long tokens cheap.
    if (isAscii(utf8) && utf8.find("\r\n") == std::string_view::npos) return utf8.size();
    icu::UnicodeString text = fromUtf8(utf8);
    icu::BreakIterator& iterator = characterIterator();
    iterator.setText(text);
    std::size_t count = 0;
    for (int32_t boundary = iterator.next(); boundary != icu::BreakIterator::DONE; boundary = iterator.next()) ++count;
    return count;
}

std::string graphemePrefix(std::string_view utf8, std::size_t count) {
    icu::UnicodeString text = fromUtf8(utf8);
    icu::BreakIterator& iterator = characterIterator();
    iterator.setText(text);
    int32_t end = 0;
    for (std::size_t taken = 0; taken < count; ++taken) {
        int32_t boundary = iterator.next();
        if (boundary == icu::BreakIterator::DONE) break;
        end = boundary;
    }
    std::string out;
    text.tempSubString(0, end).toUTF8String(out);
    return out;
}

bool isLetterMarkOrNumber(char32_t codePoint) {
    constexpr uint32_t kLetterMarkNumber = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    return (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & kLetterMarkNumber) != 0;
}

std::strong_ordering compareNFC(std::string_view a, std::string_view b) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU NFC: ") + u_errorName(status));
    icu::UnicodeString left = nfc->normalize(fromUtf8(a), status);
    icu::UnicodeString right = nfc->normalize(fromUtf8(b), status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU NFC: ") + u_errorName(status));
    // UTF-8 byte order is code point order (UTF-16 order is not, past the BMP).
    std::string leftUtf8;
    std::string rightUtf8;
    left.toUTF8String(leftUtf8);
    right.toUTF8String(rightUtf8);
    int result = leftUtf8.compare(rightUtf8);
    return result < 0 ? std::strong_ordering::less : result > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

}  // namespace velmora
