#include "names.h"

#include <array>
#include <string_view>

namespace sorvane::bench {

namespace {

// First names ending in "a" and surnames starting with "e" make "a.e" common, while no domain
// ends in "a": "a.example" then holds only common pieces but matches nobody.
constexpr std::array<std::string_view, 40> kFirst = {
    "anna",  "ben",    "carla", "david", "emma", "felix", "greta", "hugo",  "ida",   "jonas",
    "karin", "lars",   "maria", "nils",  "olga", "paul",  "rita",  "sven",  "tina",  "uwe",
    "vera",  "walter", "xenia", "yusuf", "zoe",  "alice", "bruno", "chloe", "elena", "fabio",
    "gina",  "hans",   "irene", "kira",  "leon", "mila",  "noah",  "rosa",  "simon", "yara"};
constexpr std::array<std::string_view, 32> kLast = {
    "evans",   "engel",  "ernst",    "eriksen", "meyer",    "schmidt", "novak",  "rossi",
    "garcia",  "smith",  "jones",    "brown",   "dubois",   "martin",  "bauer",  "weber",
    "wagner",  "becker", "hoffmann", "koch",    "richter",  "klein",   "wolf",   "neumann",
    "schwarz", "braun",  "zimmer",   "kruger",  "hartmann", "lange",   "krause", "lehmann"};
constexpr std::array<std::string_view, 10> kDomain = {
    "mail.example", "post.example", "inbox.example", "web.example",  "net.example",
    "home.example", "work.example", "uni.example",   "corp.example", "box.example"};

std::uint64_t mix(std::uint64_t x) {
    // splitmix64: a fixed, well-spread hash of the index.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

} // namespace

std::string accountName(std::uint64_t index) {
    const std::uint64_t h = mix(index);
    std::string name;
    name.reserve(40);
    name.append(kFirst[h % kFirst.size()]).append(".");
    name.append(kLast[(h >> 8) % kLast.size()]);
    // The index keeps every name distinct.
    name.append(std::to_string(index));
    name.append("@").append(kDomain[(h >> 16) % kDomain.size()]);
    return name;
}

} // namespace sorvane::bench
