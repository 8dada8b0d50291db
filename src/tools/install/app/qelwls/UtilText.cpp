// Text conversions and formatting: UTF-16 inside the program, UTF-8 at its edges
// (diagnostic log, status lines, the install logs).
#include "BasicException.h"
#include "Util.h"

#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";

size_t Utf8SequenceLength(uint32_t codePoint) {
    if (codePoint < 0x80) return 1;
    if (codePoint < 0x800) return 2;
    if (codePoint < 0x10000) return 3;
    return 4;
}
}  // namespace

std::wstring FormatMessageV(size_t maxChars, const wchar_t* format, va_list args) {
    // msvcrt's _vsnwprintf (declared by the runtime headers when the program is
    // built against msvcrt) keeps Microsoft semantics even though mingw-w64
    // switches the standard names to C99 semantics in C++: "%s" is wide, "%S"
    // narrow, "%I64x" 64-bit. On overflow it fills the buffer without a
    // terminator, so the last slot is kept for one.
    std::wstring buffer(maxChars, L'\0');
    const int written = _vsnwprintf(&buffer[0], maxChars - 1, format, args);
    buffer.resize(written < 0 ? maxChars - 1 : static_cast<size_t>(written));
    return buffer;
}

std::wstring FormatWholeV(const wchar_t* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length < 0) return std::wstring();
    return FormatMessageV(static_cast<size_t>(length) + 1, format, args);
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatWholeV(format, args);
    va_end(args);
    return text;
}

std::wstring SystemErrorText(DWORD error) {
    wchar_t text[512] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                    512, nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' || text[length - 1] == L' ')) --length;
    return std::wstring(text, length);
}

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring Lowercase(std::wstring text) {
    // The system's own case mapping, not the C runtime's, which maps only
    // A-Z in the "C" locale: paths hold any letter.
    if (!text.empty()) ::CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool IsAsciiText(const std::wstring& text) {
    for (wchar_t c : text)
        if (c > 0x7F) return false;
    return true;
}

std::wstring AsciiLowercase(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

void SplitCommaList(const std::wstring& text, std::vector<std::wstring>& list) {
    list.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(L',', start);
        if (comma == std::wstring::npos) {
            list.push_back(text.substr(start));
            return;
        }
        list.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

void WideToUtf8(const std::wstring& wide, std::string& utf8) {
    std::string out;
    out.reserve(wide.size() > 16 ? wide.size() : 16);
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t codePoint = static_cast<uint16_t>(wide[i]);
        if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
            if (i + 1 >= wide.size()) QEL_RAISE(L"unpaired high surrogate", ERROR_NO_UNICODE_TRANSLATION);
            const uint32_t low = static_cast<uint16_t>(wide[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF) QEL_RAISE(L"unpaired high surrogate", ERROR_NO_UNICODE_TRANSLATION);
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
            QEL_RAISE(L"unpaired low surrogate", ERROR_NO_UNICODE_TRANSLATION);
        }
        switch (Utf8SequenceLength(codePoint)) {
        case 1:
            out += static_cast<char>(codePoint);
            break;
        case 2:
            out += static_cast<char>(0xC0 | (codePoint >> 6));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        case 3:
            out += static_cast<char>(0xE0 | (codePoint >> 12));
            out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        default:
            out += static_cast<char>(0xF0 | (codePoint >> 18));
            out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (codePoint & 0x3F));
            break;
        }
    }
    utf8.swap(out);
}

int Utf8ToWide(const std::string& utf8, std::wstring& wide) {
    std::wstring out;
    out.reserve(utf8.size() > 16 ? utf8.size() : 16);
    const auto byteAt = [&](size_t i) { return static_cast<uint8_t>(utf8[i]); };
    size_t i = 0;
    int result = 0;
    while (i < utf8.size()) {
        const uint8_t lead = byteAt(i);
        size_t trailing;
        uint32_t codePoint;
        uint32_t minimum;
        if (lead < 0x80) {
            trailing = 0, codePoint = lead, minimum = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            trailing = 1, codePoint = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            trailing = 2, codePoint = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            trailing = 3, codePoint = lead & 0x07, minimum = 0x10000;
        } else {
            result = -1;  // a stray continuation byte or an invalid lead byte
            break;
        }
        if (i + trailing >= utf8.size() && trailing > 0) {
            result = -1;  // the sequence would run past the input
            break;
        }
        bool wellFormed = true;
        for (size_t k = 1; k <= trailing; ++k) {
            const uint8_t next = byteAt(i + k);
            if (next < 0x80 || next > 0xBF) {
                wellFormed = false;
                break;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (!wellFormed || codePoint < minimum || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            result = -1;
            break;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
            out += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            out += static_cast<wchar_t>(codePoint);
        }
        i += trailing + 1;
    }
    wide.swap(out);
    return result;
}

}  // namespace qel
