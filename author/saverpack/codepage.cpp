// ANSI code page conversion through a byte table per code page.
//
// Every supported code page keeps ASCII in 0x00-0x7F; the platform is asked
// only what each of the bytes 0x80-0xFF stands for. Encoding looks a
// character up in that table, so a text converts the same way in the Linux
// and the Windows build of the tool.
#include "author/saverpack/codepage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace saverpack {
namespace {

using HighHalf = std::array<char32_t, 128>;  // bytes 0x80-0xFF; 0 = undefined
constexpr char32_t kReplacement = 0xFFFD;

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

#ifdef _WIN32
char32_t DecodeByte(unsigned codePage, unsigned char byte) {
    wchar_t wide[2];
    char in = char(byte);
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, wide, 2);
    return n == 1 ? char32_t(wide[0]) : 0;
}
#else
char32_t DecodeByte(unsigned codePage, unsigned char byte) {
    std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open("UTF-32LE", name.c_str());
    if (cd == iconv_t(-1)) return 0;
    char in[1] = {char(byte)};
    unsigned char out[16];
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1);
    // Some code pages hold a character back in case a combining one follows.
    ok = ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != size_t(-1);
    iconv_close(cd);
    if (!ok || sizeof out - outLeft != 4) return 0;
    return char32_t(out[0] | (out[1] << 8) | (out[2] << 16) | (std::uint32_t(out[3]) << 24));
}
#endif

const HighHalf& Table(unsigned codePage) {
    static std::map<unsigned, HighHalf> tables;
    const auto& supported = SupportedCodePages();
    if (std::find(supported.begin(), supported.end(), codePage) == supported.end())
        throw CodePageError("code page " + std::to_string(codePage) +
                            " is not a single-byte Windows ANSI code page (874, 1250-1258)");
    auto found = tables.find(codePage);
    if (found != tables.end()) return found->second;
    HighHalf table{};
    bool any = false;
    for (int i = 0; i < 128; i++) {
        table[i] = DecodeByte(codePage, std::uint8_t(0x80 + i));
        any = any || table[i] != 0;
    }
    if (!any) throw CodePageError("code page " + std::to_string(codePage) + " is not available on this system");
    return tables.emplace(codePage, table).first->second;
}

std::string Utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

std::string Describe(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
    if (IsControl(c)) return std::string("control character ") + code;
    return "'" + Utf8(c) + "' (" + code + ")";
}

// Decodes one UTF-8 sequence at text[at], advancing at; strict (no overlong
// forms, no surrogates). Throws on malformed input.
char32_t NextCharacter(std::string_view text, std::size_t& at) {
    auto bad = [&] {
        return CodePageError("text is not valid UTF-8 (byte " + std::to_string(at + 1) + ")");
    };
    unsigned char lead = text[at];
    int length = lead < 0x80 ? 1
                 : (lead & 0xE0) == 0xC0 ? 2
                 : (lead & 0xF0) == 0xE0 ? 3
                 : (lead & 0xF8) == 0xF0 ? 4
                                         : 0;
    if (length == 0 || at + length > text.size()) throw bad();
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; i++) {
        unsigned char next = text[at + i];
        if ((next & 0xC0) != 0x80) throw bad();
        c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) throw bad();
    at += length;
    return c;
}

}  // namespace

const std::vector<unsigned>& SupportedCodePages() {
    static const std::vector<unsigned> pages = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
    return pages;
}

std::string ToAnsi(std::string_view utf8, unsigned codePage) {
    const HighHalf& table = Table(codePage);
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = NextCharacter(utf8, at);
        if (IsControl(c)) throw CodePageError("holds a " + Describe(c));
        if (c < 0x80) {
            out += char(c);
            continue;
        }
        auto found = std::find(table.begin(), table.end(), c);
        if (found == table.end())
            throw CodePageError(Describe(c) + " has no byte in code page " + std::to_string(codePage));
        out += char(0x80 + (found - table.begin()));
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = NextCharacter(utf8, at);
        if (c < 0x10000) {
            out.push_back(char16_t(c));
        } else {
            out.push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    return out;
}

std::string FromAnsi(std::string_view ansi, unsigned codePage) {
    const HighHalf& table = Table(codePage);
    std::string out;
    for (unsigned char byte : ansi) {
        char32_t c = byte < 0x80 ? char32_t(byte) : table[byte - 0x80];
        out += Utf8(c == 0 || IsControl(c) ? kReplacement : c);
    }
    return out;
}

}  // namespace saverpack
