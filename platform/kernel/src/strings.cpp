// Counted UTF-16 strings (UNICODE_STRING) and the case rules names follow.
#include "text.h"

#include <host/kernel.h>

namespace wrk::detail {

char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return c - (u'a' - u'A');
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {  // Latin-1 letters; 0xF7 is the division sign
        return c - 0x20;
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}

std::u16string Upcase(std::u16string_view text) {
    std::u16string upper(text);
    for (char16_t& c : upper) {
        c = Upcase(c);
    }
    return upper;
}

std::string Utf8(std::u16string_view text) {
    std::string narrow;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            narrow += static_cast<char>(c);
        } else if (c < 0x800) {
            narrow += static_cast<char>(0xC0 | (c >> 6));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            narrow += static_cast<char>(0xE0 | (c >> 12));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (c >> 18));
            narrow += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return narrow;
}

}  // namespace wrk::detail

namespace {

// A counted string's length field is 16 bits; Windows caps the text so that
// the terminator still fits in MaximumLength.
constexpr size_t kLongestCountedBytes = 0xFFFC;

}  // namespace

extern "C" void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::char_traits<char16_t>::length(SourceString) * sizeof(WCHAR);
    if (bytes > kLongestCountedBytes) {
        bytes = kLongestCountedBytes;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
    UnicodeString->Buffer = nullptr;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        char16_t a = String1->Buffer[i];
        char16_t b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = wrk::detail::Upcase(a);
            b = wrk::detail::Upcase(b);
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}
