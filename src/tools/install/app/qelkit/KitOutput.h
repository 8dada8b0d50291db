// What qelkit says: text for a person on a console, UTF-8 with CR LF line ends
// when the output goes to a pipe or a file (as the installer's own lines).
#pragma once

#include <string>

namespace kit {

// Writes the text to standard output; "\n" ends a line, "\r" returns to the
// start of the line (the progress bar redraws itself that way).
void Out(const std::wstring& text);
// The same on standard error, for the one-line refusals.
void Err(const std::wstring& text);

// printf-style, with the C runtime's wide-format rules ("%s" a wide string).
std::wstring Format(const wchar_t* format, ...);

}  // namespace kit
