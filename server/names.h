#pragma once

// Which user names may be registered, and the look-alike form ("skeleton")
// under which two names count as the same.

#include <string>
#include <string_view>

namespace sorvane::server {

// True when `name` (valid UTF-8) may be registered: NFC; no control, format,
// separator, private-use or unassigned character except the plain blank, and
// no blank at either end; and each part between "@" and "." in one script
// (Latin with Han and Japanese or Korean scripts counts as one), with no
// invisible marks and no digits of different scripts.
bool isAllowedName(std::string_view name);

// The form under which names look alike: compatibility forms and case folded,
// then the Unicode confusable skeleton, folded again. "Bob", "bоb" (Cyrillic
// o), "b0b" and the full-width "ｂｏｂ" share one. Empty for text that is not
// UTF-8.
std::string nameSkeleton(std::string_view name);

} // namespace sorvane::server
