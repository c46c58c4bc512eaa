// Text as code points: UTF-8 decoding (one decoder for strings and for
// the Unicode tables of font files) and EUC-KR converted to UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace zr::text {

inline constexpr char32_t replacement_char = 0xFFFD;

// The well-formed UTF-8 sequence at s: its length, with the code point in
// cp, or 0 when the bytes there are ill-formed (a stray or missing
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF)
// or run past end. Each byte is looked at only after the one before it
// was accepted, so with end null a NUL byte ends the reading safely.
int utf8_sequence(const unsigned char *s, const unsigned char *end, char32_t &cp);

// The code point at p, which moves past it. Ill-formed UTF-8 (as above, or
// a sequence cut short by the terminating NUL) gives U+FFFD and moves one
// byte on. p must not point at the NUL itself.
char32_t decode_utf8(const char *&p);

// EUC-KR text as UTF-8. A byte that does not start a valid character (or a
// pair cut short) becomes U+FFFD and the conversion goes on at the next byte.
// Without the C library's EUC-KR converter, ASCII passes through and every
// other byte becomes U+FFFD.
std::string euckr_to_utf8(const char *euckr);

}  // namespace zr::text
