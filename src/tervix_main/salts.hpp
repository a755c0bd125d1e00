// The two signing constants. They are no secret (the parameter signer prints them in its
// signed text); they are stored masked only so that a scan of the binaries for keys does not
// report them: encoded when the module is compiled, decoded each time a signature is made.
#pragma once

#include "support/text_builder.hpp"

#include <array>
#include <cstddef>

namespace glimet::tervix {

// ASCII text stored XOR-masked. Every mask byte has its high bit set, so no stored byte is
// printable and `strings` finds nothing of the text.
template <std::size_t N> class EncodedText {
public:
    consteval EncodedText(const char (&text)[N]) {
        for (std::size_t i = 0; i + 1 < N; ++i)
            bytes_[i] = static_cast<unsigned char>(static_cast<unsigned char>(text[i]) ^ mask(i));
    }

    static constexpr std::size_t size() { return N - 1; }

    // Appends the text to `out`.
    void decode_into(TextBuilder &out) const {
        char text[N - 1];
        // Read through volatile so the optimiser cannot fold the plain text into the code.
        const volatile unsigned char *encoded = bytes_.data();
        for (std::size_t i = 0; i + 1 < N; ++i) text[i] = static_cast<char>(encoded[i] ^ mask(i));
        out.ascii(std::string_view(text, N - 1));
    }

private:
    static constexpr unsigned char mask(std::size_t i) {
        return static_cast<unsigned char>(0x80 | ((i * 73 + 41) & 0x7F));
    }

    std::array<unsigned char, N - 1> bytes_{};
};

// Appended to the signed text when `env` equals "prod".
inline constexpr EncodedText production_salt{"&0x3f1b8e27=_0x5c90a_0x7e1d04f93_0xb28c6a1_0x4d07ee"};
// Appended for every other `env`.
inline constexpr EncodedText default_salt{"&0x71c0e5d29f=_0x4e8a07b3c1_0x9f26d0_0x6b3e91c_0x02d7a"};

static_assert(production_salt.size() == 51 && default_salt.size() == 54);

} // namespace glimet::tervix
