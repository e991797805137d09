#include "names.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uspoof.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <memory>
#include <utility>

namespace sorvane::server {
namespace {

struct SpoofCheckerDeleter {
    void operator()(USpoofChecker* checker) const { uspoof_close(checker); }
};

// One checker for the process; its check and skeleton functions may be called
// from many threads at once.
const USpoofChecker* checker() {
    static const std::unique_ptr<USpoofChecker, SpoofCheckerDeleter> instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        USpoofChecker* c = uspoof_open(&status);
        uspoof_setChecks(c, USPOOF_RESTRICTION_LEVEL | USPOOF_INVISIBLE | USPOOF_MIXED_NUMBERS,
                         &status);
        uspoof_setRestrictionLevel(c, USPOOF_HIGHLY_RESTRICTIVE);
        if (U_FAILURE(status)) {
            uspoof_close(c);
            c = nullptr;
        }
        return std::unique_ptr<USpoofChecker, SpoofCheckerDeleter>(c);
    }();
    return instance.get();
}

std::u16string toUtf16(std::string_view utf8, bool& ok) {
    std::u16string out(utf8.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    ok = U_SUCCESS(status);
    out.resize(ok ? static_cast<size_t>(length) : 0);
    return out;
}

bool visibleCharacter(UChar32 c) {
    if (c == U' ')
        return true;
    switch (u_charType(c)) {
    case U_CONTROL_CHAR:        // Cc
    case U_FORMAT_CHAR:         // Cf: right-to-left override, zero-width space, BOM...
    case U_SPACE_SEPARATOR:     // Zs: no-break and other spaces
    case U_LINE_SEPARATOR:      // Zl
    case U_PARAGRAPH_SEPARATOR: // Zp
    case U_PRIVATE_USE_CHAR:    // Co
    case U_SURROGATE:           // Cs
    case U_UNASSIGNED:          // Cn
        return false;
    default:
        return true;
    }
}

// NFKC with case folding (and default-ignorable characters dropped), in place.
bool foldCompatible(std::u16string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* fold = unorm2_getNFKCCasefoldInstance(&status);
    if (U_FAILURE(status))
        return false;
    std::u16string out(text.size() * 4 + 16, u'\0');
    int32_t length = unorm2_normalize(fold, text.data(), static_cast<int32_t>(text.size()),
                                      out.data(), static_cast<int32_t>(out.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<size_t>(length) + 1);
        status = U_ZERO_ERROR;
        length = unorm2_normalize(fold, text.data(), static_cast<int32_t>(text.size()), out.data(),
                                  static_cast<int32_t>(out.size()), &status);
    }
    if (U_FAILURE(status))
        return false;
    out.resize(static_cast<size_t>(length));
    text = std::move(out);
    return true;
}

} // namespace

bool isAllowedName(std::string_view name) {
    bool ok = false;
    const std::u16string text = toUtf16(name, ok);
    if (!ok || text.empty() || text.front() == u' ' || text.back() == u' ')
        return false;

    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status) ||
        !unorm2_isNormalized(nfc, text.data(), static_cast<int32_t>(text.size()), &status) ||
        U_FAILURE(status))
        return false;

    for (size_t i = 0; i < text.size();) {
        UChar32 c;
        U16_NEXT(text.data(), i, text.size(), c);
        if (!visibleCharacter(c))
            return false;
    }

    // An address joins parts from different places ("иван@x.org"), so the
    // one-script rule holds for each part on its own.
    const USpoofChecker* spoof = checker();
    if (!spoof)
        return false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '@' && name[i] != '.')
            continue;
        if (i > start) {
            status = U_ZERO_ERROR;
            int32_t result = uspoof_checkUTF8(spoof, name.data() + start,
                                              static_cast<int32_t>(i - start), nullptr, &status);
            if (U_FAILURE(status) || result != 0)
                return false;
        }
        start = i + 1;
    }
    return true;
}

std::string nameSkeleton(std::string_view name) {
    bool ok = false;
    std::u16string text = toUtf16(name, ok);
    const USpoofChecker* spoof = checker();
    if (!ok || !spoof)
        return {};
    // Compatibility forms and case first: the confusable data maps neither
    // full-width letters nor capitals onto plain small letters. Once more
    // after it, for capitals the skeleton itself brings in ("0" -> "O").
    if (!foldCompatible(text))
        return {};
    UErrorCode status = U_ZERO_ERROR;
    std::u16string skeleton(text.size() * 4 + 16, u'\0');
    int32_t length =
        uspoof_getSkeleton(spoof, 0, text.data(), static_cast<int32_t>(text.size()),
                           skeleton.data(), static_cast<int32_t>(skeleton.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        skeleton.resize(static_cast<size_t>(length) + 1);
        status = U_ZERO_ERROR;
        length =
            uspoof_getSkeleton(spoof, 0, text.data(), static_cast<int32_t>(text.size()),
                               skeleton.data(), static_cast<int32_t>(skeleton.size()), &status);
    }
    if (U_FAILURE(status))
        return {};
    skeleton.resize(static_cast<size_t>(length));
    if (!foldCompatible(skeleton))
        return {};

    std::string out(skeleton.size() * 3 + 1, '\0');
    int32_t bytes = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &bytes, skeleton.data(),
                static_cast<int32_t>(skeleton.size()), &status);
    if (U_FAILURE(status))
        return {};
    out.resize(static_cast<size_t>(bytes));
    return out;
}

} // namespace sorvane::server
