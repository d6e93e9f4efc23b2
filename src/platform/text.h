// Text helpers shared by every subsystem: letter case and trimming.
// Locale-independent: only the ASCII letters change case and only ASCII
// blanks and control characters are trimmed, so UTF-8 text passes through
// unchanged. Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

namespace orlo {

std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
// Equal but for the letter case of ASCII letters.
bool SameText(std::string_view a, std::string_view b);

// What counts as blank at the ends of a text depends on where it comes from,
// and a reader of each kind relies on its own rule:
// - TrimView, Trim, TrimEndView: the blank and every control character (bytes
//   up to 0x20): values for SQL and texts for people.
// - TrimWhiteSpaceView: blank, tab, CR and LF: lines of settings, registry and
//   SQL files and fields of card records; any other control character stays
//   part of the value.
// - TrimSpaceTabView: blank and tab: number fields of device texts, where a
//   CR or LF leaves the field unreadable.
std::string_view TrimView(std::string_view text);
std::string Trim(std::string_view text);
std::string_view TrimEndView(std::string_view text);  // the end only
std::string_view TrimWhiteSpaceView(std::string_view text);
std::string_view TrimSpaceTabView(std::string_view text);

}  // namespace orlo
