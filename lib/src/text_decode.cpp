#include "text_decode.hpp"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace zr::text {

int utf8_sequence(const unsigned char *s, const unsigned char *end, char32_t &cp) {
    const unsigned char b = s[0];
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    int more;
    // The second byte's range rules out overlongs, surrogates and values
    // above U+10FFFF; later bytes are plain continuations.
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) { more = 1; cp = b & 0x1Fu; }
    else if (b >= 0xE0 && b <= 0xEF) {
        more = 2;
        cp = b & 0x0Fu;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        more = 3;
        cp = b & 0x07u;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (end != nullptr && end - s <= more) return 0;
    for (int i = 1; i <= more; ++i) {
        const unsigned char c = s[i];
        if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (c & 0x3Fu);
    }
    return more + 1;
}

char32_t decode_utf8(const char *&p) {
    char32_t cp = 0;
    const int n = utf8_sequence(reinterpret_cast<const unsigned char *>(p), nullptr, cp);
    p += n > 0 ? n : 1;
    return n > 0 ? cp : replacement_char;
}

std::string euckr_to_utf8(const char *euckr) {
    static constexpr char replacement_utf8[] = "\xEF\xBF\xBD";
    std::string out;
    std::size_t left = std::strlen(euckr);
    iconv_t cd = iconv_open("UTF-8", "EUC-KR");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (const char *p = euckr; *p != '\0'; ++p)
            if (static_cast<unsigned char>(*p) < 0x80) out += *p;
            else out += replacement_utf8;
        return out;
    }
    char *in = const_cast<char *>(euckr);
    char buffer[256];
    while (left > 0) {
        char *o = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t r = iconv(cd, &in, &left, &o, &room);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL: one byte becomes U+FFFD.
            out += replacement_utf8;
            ++in;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace zr::text
