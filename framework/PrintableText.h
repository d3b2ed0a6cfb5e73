#pragma once

#include <cstddef>
#include <string_view>

// The length of the well-formed UTF-8 character at text[at] that a terminal shows rather than
// acts on: none of the C1 controls (U+0080 to U+009F, which a terminal takes as ESC and a
// letter); 0 when there is none there, a byte below 0x80 included. What writes a peer's text
// where a person reads it (the log, the client's output) keeps such characters and escapes
// every other byte that is not printable ASCII.
inline std::size_t printableUtf8At(std::string_view text, std::size_t at) {
    const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || at + length > text.size()) return 0;
    char32_t code = lead & (0x7f >> length);
    for (std::size_t next = at + 1; next < at + length; ++next) {
        if ((byte(next) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(next) & 0x3f);
    }
    // The least code of each length: one below is written longer than it need be, or for two
    // bytes is a C1 control.
    constexpr char32_t least[] = {0, 0, 0xa0, 0x800, 0x10000};
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code >= least[length] && code <= 0x10ffff && !surrogate ? length : 0;
}
