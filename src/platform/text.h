// Text helpers shared by every subsystem: letter case and trimming.
// Locale-independent: only the ASCII letters change case and only characters
// up to the blank count as blank, so UTF-8 text passes through unchanged.
// Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace orlo {

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// Without the blanks and control characters at both ends.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);
// Equal but for the letter case of ASCII letters.
bool SameText(std::string_view a, std::string_view b);

}  // namespace orlo
