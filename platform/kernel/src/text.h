// UTF-16 helpers shared by the string routines and the registry.
#pragma once

#include <string>

namespace wrk::detail {

// The upper-case form Windows compares names by, for the Latin-1 range;
// other characters compare as they are.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view text);
// For messages: UTF-16 to UTF-8.
std::string Utf8(std::u16string_view text);

}  // namespace wrk::detail
