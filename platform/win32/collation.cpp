/*
 * lstrcmpA and lstrcmpiA as Windows compares: by the sort weights of the
 * ANSI code page (1252), word sort, not by byte values. Each character gives
 * sort elements of up to three levels (the letter or symbol itself, its
 * diacritic, its case); strings are compared level by level, so "a" comes
 * before "B" and "é" before "f". Control characters without a glyph weigh
 * nothing, ß and the ligatures expand to their two letters, and the hyphen
 * and the apostrophe only count when everything else is equal, which keeps
 * "co-op" beside "coop". Symbols sort before digits, digits before letters;
 * among themselves symbols keep their code order.
 */
#include <windows.h>

#include <array>
#include <vector>

namespace {

enum Group : unsigned char { Ignored, Special, Symbol, Digit, Letter };

struct Element {
    Group group;
    unsigned char primary;   /* symbol code, digit value or letter 0 (a) to 26 (þ) */
    unsigned char diacritic; /* 0 for none */
    unsigned char upper;     /* 1 for a capital */
};

struct Character {
    Element first;
    Element second; /* group Ignored when the character does not expand */
};

constexpr Element none{Ignored, 0, 0, 0};

constexpr Element letter(char base, unsigned char diacritic, bool upper)
{
    return {Letter, static_cast<unsigned char>(base - 'a'), diacritic, static_cast<unsigned char>(upper)};
}

/* Diacritics, in the order Windows weighs them. */
enum : unsigned char { Plain, Acute, Grave, Circumflex, Diaeresis, Tilde, Ring, Cedilla, Caron, Stroke, Hook, Eth,
                       Superscript };

struct Accented {
    unsigned char lower;
    unsigned char upper; /* 0 when the code page has no capital */
    char base;
    unsigned char diacritic;
};

constexpr Accented kAccented[] = {
    {0xE1, 0xC1, 'a', Acute},     {0xE0, 0xC0, 'a', Grave},     {0xE2, 0xC2, 'a', Circumflex},
    {0xE4, 0xC4, 'a', Diaeresis}, {0xE3, 0xC3, 'a', Tilde},     {0xE5, 0xC5, 'a', Ring},
    {0xE7, 0xC7, 'c', Cedilla},   {0xE9, 0xC9, 'e', Acute},     {0xE8, 0xC8, 'e', Grave},
    {0xEA, 0xCA, 'e', Circumflex}, {0xEB, 0xCB, 'e', Diaeresis}, {0xED, 0xCD, 'i', Acute},
    {0xEC, 0xCC, 'i', Grave},     {0xEE, 0xCE, 'i', Circumflex}, {0xEF, 0xCF, 'i', Diaeresis},
    {0xF1, 0xD1, 'n', Tilde},     {0xF3, 0xD3, 'o', Acute},     {0xF2, 0xD2, 'o', Grave},
    {0xF4, 0xD4, 'o', Circumflex}, {0xF6, 0xD6, 'o', Diaeresis}, {0xF5, 0xD5, 'o', Tilde},
    {0xF8, 0xD8, 'o', Stroke},    {0xFA, 0xDA, 'u', Acute},     {0xF9, 0xD9, 'u', Grave},
    {0xFB, 0xDB, 'u', Circumflex}, {0xFC, 0xDC, 'u', Diaeresis}, {0xFD, 0xDD, 'y', Acute},
    {0xFF, 0x9F, 'y', Diaeresis}, {0x9A, 0x8A, 's', Caron},     {0x9E, 0x8E, 'z', Caron},
    {0xF0, 0xD0, 'd', Eth},       {0x83, 0x00, 'f', Hook},
};

std::array<Character, 256> buildTable()
{
    std::array<Character, 256> table{};
    for (int c = 1; c < 256; ++c)
        table[c] = {{Symbol, static_cast<unsigned char>(c), 0, 0}, none};
    /* Controls without a glyph, and the code page's unassigned bytes, weigh nothing. */
    for (int c : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                  0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x7F, 0x81, 0x8D, 0x8F, 0x90, 0x9D,
                  0xAD})
        table[c] = {none, none};
    for (int c : {'-', '\''})
        table[c] = {{Special, static_cast<unsigned char>(c), 0, 0}, none};
    for (int d = 0; d < 10; ++d)
        table['0' + d] = {{Digit, static_cast<unsigned char>(d), 0, 0}, none};
    table[0xB9] = {{Digit, 1, Superscript, 0}, none};
    table[0xB2] = {{Digit, 2, Superscript, 0}, none};
    table[0xB3] = {{Digit, 3, Superscript, 0}, none};
    for (char l = 'a'; l <= 'z'; ++l) {
        table[static_cast<unsigned char>(l)] = {letter(l, Plain, false), none};
        table[static_cast<unsigned char>(l - 'a' + 'A')] = {letter(l, Plain, true), none};
    }
    for (const Accented &a : kAccented) {
        table[a.lower] = {letter(a.base, a.diacritic, false), none};
        if (a.upper)
            table[a.upper] = {letter(a.base, a.diacritic, true), none};
    }
    table[0xDF] = {letter('s', Plain, false), letter('s', Plain, false)}; /* ß */
    table[0xE6] = {letter('a', Plain, false), letter('e', Plain, false)}; /* æ */
    table[0xC6] = {letter('a', Plain, true), letter('e', Plain, true)};   /* Æ */
    table[0x9C] = {letter('o', Plain, false), letter('e', Plain, false)}; /* œ */
    table[0x8C] = {letter('o', Plain, true), letter('e', Plain, true)};   /* Œ */
    table[0xFE] = {{Letter, 26, 0, 0}, none};                             /* þ after z */
    table[0xDE] = {{Letter, 26, 0, 1}, none};                             /* Þ */
    return table;
}

const std::array<Character, 256> &sortTable()
{
    static const std::array<Character, 256> table = buildTable();
    return table;
}

struct SortKey {
    std::vector<unsigned> primary;
    std::vector<unsigned char> diacritic;
    std::vector<unsigned char> upper;
    std::vector<unsigned> special; /* position among the weighed elements, then the character */
};

SortKey sortKey(LPCSTR text)
{
    SortKey key;
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(text); *at; ++at) {
        const Character &c = sortTable()[*at];
        for (const Element &e : {c.first, c.second}) {
            if (e.group == Ignored)
                continue;
            if (e.group == Special) {
                key.special.push_back(static_cast<unsigned>(key.primary.size()) << 8 | e.primary);
                continue;
            }
            key.primary.push_back(static_cast<unsigned>(e.group) << 8 | e.primary);
            key.diacritic.push_back(e.diacritic);
            key.upper.push_back(e.upper);
        }
    }
    return key;
}

template <typename T> int compareLevel(const std::vector<T> &a, const std::vector<T> &b)
{
    if (a < b)
        return -1;
    return b < a ? 1 : 0;
}

int compareStrings(LPCSTR a, LPCSTR b, bool ignoreCase)
{
    if (!a || !b)
        return (a != nullptr) - (b != nullptr);
    SortKey ka = sortKey(a), kb = sortKey(b);
    if (int order = compareLevel(ka.primary, kb.primary))
        return order;
    if (int order = compareLevel(ka.diacritic, kb.diacritic))
        return order;
    if (!ignoreCase)
        if (int order = compareLevel(ka.upper, kb.upper))
            return order;
    return compareLevel(ka.special, kb.special);
}

} // namespace

extern "C" {

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2)
{
    return compareStrings(lpString1, lpString2, false);
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    return compareStrings(lpString1, lpString2, true);
}

} // extern "C"
