// Text conversions between UTF-16, UTF-8 and a Windows ANSI code page (932 or 1252).
//
// The conversions to a code page behave as the system's do: a character the code page cannot
// hold becomes the code page's default character '?', one byte per UTF-16 unit it replaces
// (a surrogate pair counts as one character). Tables are built once per code page, so a
// conversion is a table look-up per character and safe from any thread after the first use.
#pragma once

#include <string>
#include <string_view>

// The ANSI code pages the scan can stand in for (932 and 1252). The conversions below take only
// a supported code page.
bool code_page_supported(unsigned code_page);

// UTF-16 text to the code page's bytes; unmappable characters become '?'.
std::string utf16_to_code_page(unsigned code_page, const std::u16string &text);
std::string utf16_to_code_page(unsigned code_page, const char16_t *text, std::size_t units);
// The same for text held as UTF-16LE bytes (an odd last byte dropped), into `out`, whose storage
// is reused: for the calls made per key.
void utf16le_to_code_page(unsigned code_page, std::string_view utf16le, std::string &out);

// The code page's bytes to UTF-16. A byte sequence the code page does not define becomes
// U+FFFD, one per byte (a lead byte without its trail byte included).
std::u16string code_page_to_utf16(unsigned code_page, const std::string &bytes);
// The same as UTF-16LE bytes, as names are stored, into `out`, whose storage is reused.
void code_page_to_utf16le(unsigned code_page, std::string_view bytes, std::string &out);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(const std::u16string &text);
// UTF-8 to UTF-16. Returns false when `bytes` is not valid UTF-8 (overlong forms, surrogates and
// values above U+10FFFF included); `out` is then unspecified.
bool utf8_to_utf16(const std::string &bytes, std::u16string &out);

// UTF-16LE data bytes (as a registry stores strings) to UTF-16 units; an odd last byte is dropped,
// as the system drops it.
std::u16string utf16le_bytes_to_text(const std::string &data);
std::string text_to_utf16le_bytes(const std::u16string &text);

// The upper case of a UTF-16 unit as registry names are compared: ASCII, Latin-1, Latin
// Extended-A, Greek, Cyrillic and the full-width Latin letters; any other unit as it is.
char16_t upper_case_unit(char16_t c);
