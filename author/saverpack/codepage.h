// Text in the Windows ANSI code pages that installers carry.
//
// The installer treats its title and extensions as single-byte text in the
// system's ANSI code page. The tool takes UTF-8 and converts it character by
// character through the code page's byte table, which the platform supplies
// (iconv natively, the Win32 code page tables on Windows); both builds thus
// apply the same rule: a character is written only if one byte of the code
// page stands for exactly that character. No best-fit substitution.
#ifndef AUTHOR_SAVERPACK_CODEPAGE_H
#define AUTHOR_SAVERPACK_CODEPAGE_H

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace saverpack {

// Text that cannot be written in the code page; what() says why.
class CodePageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The single-byte ANSI code pages the tool writes: 874 and 1250 to 1258.
const std::vector<unsigned>& SupportedCodePages();

// UTF-8 to ANSI bytes. Refuses invalid UTF-8, control characters and any
// character the code page has no byte for, naming the character.
std::string ToAnsi(std::string_view utf8, unsigned codePage);

// UTF-8 to UTF-16 (for version resources). Refuses invalid UTF-8.
std::u16string Utf8ToUtf16(std::string_view utf8);

// ANSI bytes to UTF-8, for display. Control characters and bytes the code
// page leaves undefined become U+FFFD.
std::string FromAnsi(std::string_view ansi, unsigned codePage);

}  // namespace saverpack

#endif
