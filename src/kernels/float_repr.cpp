// The float formatter: repr() of a double, the shortest digits that read back as it, nearest
// to it among those. It follows Ryū (Ulf Adams, "Ryū: fast float-to-string conversion", PLDI
// 2018), whose names it keeps (mv, mp, mm for x and the ends of its rounding interval; vr, vp,
// vm once scaled; q for the power of ten), in five steps:
//  1. Split x into m * 2**e; the reals that read back as x lie between mm and mp, half-way to
//     its neighbours (the lower one nearer for a power of two), the ends included when m is
//     even, since reading rounds a tie to even.
//  2. Scale x and the ends by 10**q, q chosen so that the interval spans 1 to 10 units. For
//     the floats repr writes positionally (1e-4 <= |x| < 1e16) the products are exact 128-bit
//     integers over 2**66, in place of Ryū's tables of rounded powers; vr is x's units.
//  3. Shorten: a number with fewer digits is a multiple of 10, and the interval holds at most
//     one, next to vr; it is taken if inside (the test Schubfach, R. Giulietti 2020, makes in
//     place of Ryū's loop). A power of two's lopsided interval takes Ryū's loop instead:
//     digits are removed while vp / 10 > vm / 10.
//  4. Round: otherwise the nearer of vr and vr + 1, a tie going to the even one.
//  5. Write: the digits, eight at a time in a word (int_text.hpp), zeros at the end counted
//     and left out, the point put in; a float outside that range, or whose digits leave the
//     positional form, in std::to_chars' scientific form with repr's exponent ("1e-05").
// Several floats are formatted at once, each step taken for every one before the next: a
// float's steps are one long chain of products, and the processor runs chains side by side
// only when their steps come near one another.
#include "kernels/float_repr.hpp"

#include "kernels/int_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace glimet::kernels {
namespace {

using u128 = unsigned __int128;

// 10**i for i in 0..21 (the last two past 64 bits).
constexpr u128 wide_power_of_ten(int i) {
    return i < 20 ? u128{powers_of_ten[static_cast<size_t>(i)]}
                  : u128{powers_of_ten[19]} * powers_of_ten[static_cast<size_t>(i - 19)];
}

// For each binary exponent e of the positional floats (x = m * 2**e, m of 53 bits, e from -66
// to 1): q = -floor(e * log10(2)), so that 1 <= 2**e * 10**q < 10, and 10**q * 2**(e + 66),
// an integer below 10 * 2**66.
struct ScaledPower {
    u128 scale;
    int q;
};

constexpr std::array<ScaledPower, 68> scaled_powers = [] {
    std::array<ScaledPower, 68> powers{};
    for (int e = -66; e <= 1; ++e) {
        int q = -(e * 78913 >> 18);
        powers[static_cast<size_t>(e + 66)] = {wide_power_of_ten(q) << (e + 66), q};
    }
    return powers;
}();

// `word`, eight characters of text, with a '.' put in before the character at `at` (0 to 7)
// and the last character moved out.
uint64_t insert_point(uint64_t word, int at) {
    uint64_t before = (uint64_t{1} << (8 * at)) - 1;
    return (word & before) | uint64_t{'.'} << (8 * at) | (word & ~before) << 8;
}

// Shortest digits and their decimal exponent: a float reads back from digits * 10**exponent.
struct Decimal {
    uint64_t digits;
    int exponent;
};

// The shortest digits of a power of two m * 2**e (m = 2**52), whose lower neighbour is half
// as far as its upper one, as Ryū finds them: digits are removed while the interval of reals
// that read back as x, in quarters of 2**e from mm to mp, still holds a shorter number. Scaled
// by 10**q so that x has 18 or 19 digits, the interval is more than 10 units wide: at least
// one goes.
Decimal shortest_power_of_two(uint64_t m, int e) {
    uint64_t mv = 4 * m, mp = mv + 2, mm = mv - 1;
    int k = (e + 52) * 78913 >> 18; // floor(log10(x)) or one less, at least -4 here
    int q = 17 - (k < -4 ? -4 : k);
    int shift = 2 - e;
    u128 scale = wide_power_of_ten(q), below = (u128{1} << shift) - 1;
    u128 nv = mv * scale, np = mp * scale, nm = mm * scale;
    auto vr = static_cast<uint64_t>(nv >> shift), vp = static_cast<uint64_t>(np >> shift),
         vm = static_cast<uint64_t>(nm >> shift);
    // m is even, so the interval's ends read back as x too.
    bool vr_exact = (nv & below) == 0, vm_exact = (nm & below) == 0;
    int removed = 0;
    unsigned last_removed = 0;
    // Four digits at a time while four can go (a short number has many to lose), then one.
    while (vp / 10000 > vm / 10000) {
        auto group = static_cast<unsigned>(vr % 10000);
        vm_exact &= vm % 10000 == 0;
        vr_exact &= last_removed == 0 && group % 1000 == 0;
        last_removed = group / 1000;
        vr /= 10000, vp /= 10000, vm /= 10000;
        removed += 4;
    }
    while (vp / 10 > vm / 10) {
        vm_exact &= vm % 10 == 0;
        vr_exact &= last_removed == 0;
        last_removed = static_cast<unsigned>(vr % 10);
        vr /= 10, vp /= 10, vm /= 10;
        ++removed;
    }
    if (vm_exact) {
        while (vm % 10 == 0) {
            vr_exact &= last_removed == 0;
            last_removed = static_cast<unsigned>(vr % 10);
            vr /= 10, vp /= 10, vm /= 10;
            ++removed;
        }
    }
    // The nearest, a removed 5 followed only by zeros rounding to even.
    if (vr_exact && last_removed == 5 && vr % 2 == 0) last_removed = 4;
    bool round_up = (vr == vm && !vm_exact) || last_removed >= 5;
    return {vr + round_up, removed - q};
}

// Seventeen digits and where the point goes among them: x reads back from the text of `digits`
// (from 10**16 to 10**17, the first digit never 0) with a point before its digit `point`
// (0.0ddd when `point` is negative or 0).
struct Digits17 {
    uint64_t digits;
    int point;
};

// The shortest digits of each float `x[k]` (finite, 1e-4 <= x[k] < 1e16) that read back as
// it, the nearest to it among those (ties to even digits), as repr writes them; zeros after
// them up to seventeen. Each step is taken for every float before the next step: a float's
// steps are one long chain of products, and the processor runs chains side by side only when
// their steps come near one another. Inlined, like the steps after it, so that its arrays stay
// in registers.
template <size_t N>
[[gnu::always_inline]] inline void shortest(const double (&x)[N], Digits17 (&decimal)[N]) {
    uint64_t m[N];
    int e[N];
    bool power_of_two = false;
    for (size_t k = 0; k < N; ++k) {
        uint64_t bits;
        std::memcpy(&bits, &x[k], sizeof bits);
        uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
        m[k] = fraction | (uint64_t{1} << 52);
        e[k] = static_cast<int>(bits >> 52) - 1075; // x = m * 2**e, e from -66 to 1 here
        power_of_two |= fraction == 0;
    }
    if (power_of_two) [[unlikely]] { // one at a time, each by its own way
        for (size_t k = 0; k < N; ++k) {
            if constexpr (N > 1) {
                if (m[k] != uint64_t{1} << 52) {
                    const double one[1] = {x[k]};
                    Digits17 digits[1];
                    shortest(one, digits);
                    decimal[k] = digits[0];
                    continue;
                }
            }
            Decimal shorter = shortest_power_of_two(m[k], e[k]);
            int n = digit_count(shorter.digits); // 17 at most: 17 digits always suffice
            decimal[k] = {shorter.digits * powers_of_ten[static_cast<size_t>(17 - n)],
                          n + shorter.exponent};
        }
        return;
    }

    // The reals that read back as x lie within half of 2**e of it, the ends included when m
    // is even (ties to even). Scaled by 10**q, with q chosen so that the interval is from 1 to
    // 10 units wide, x is nv / 2**66 and its ends nm and np over the same: exact, in 124 bits
    // at most, and a fixed point that costs no shift by a varying count. vr, x's units, is
    // from 2**52 to 10 * 2**53: 16 or 17 digits.
    const ScaledPower *power[N];
    u128 nv[N], np[N], nm[N];
    uint64_t vr[N];
    for (size_t k = 0; k < N; ++k) {
        power[k] = &scaled_powers[static_cast<size_t>(e[k] + 66)];
        nv[k] = m[k] * power[k]->scale;
        u128 half = power[k]->scale >> 1;
        np[k] = nv[k] + half, nm[k] = nv[k] - half;
        vr[k] = static_cast<uint64_t>(nv[k] >> 66);
    }

    // A number with fewer digits is a multiple of 10, and the interval holds at most one,
    // next to vr. Choices here are made by arithmetic, not branches: which way each goes is
    // as good as random.
    uint64_t tens[N];
    bool lower_in[N], upper_in[N];
    for (size_t k = 0; k < N; ++k) {
        tens[k] = vr[k] / 10;
        auto accept_ends = static_cast<unsigned>(m[k] % 2 == 0);
        u128 lower_ten = u128{10 * tens[k]} << 66, upper_ten = u128{10 * tens[k] + 10} << 66;
        lower_in[k] = lower_ten + accept_ends > nm[k];
        upper_in[k] = upper_ten < np[k] + accept_ends;
    }
    // Otherwise the nearer of vr and vr + 1, both inside (x's 66 bits below the units against
    // one half); a tie goes to the even one.
    uint64_t digits[N];
    for (size_t k = 0; k < N; ++k) {
        u128 below_units = nv[k] & ((u128{1} << 66) - 1);
        uint64_t nearest = vr[k] + (below_units + (vr[k] & 1) > u128{1} << 65);
        uint64_t shorter = 0 - static_cast<uint64_t>(lower_in[k] | upper_in[k]); // all or none
        digits[k] = (10 * (tens[k] + upper_in[k]) & shorter) | (nearest & ~shorter);
    }
    // Seventeen digits: a zero after 16.
    for (size_t k = 0; k < N; ++k) {
        bool sixteen = digits[k] < powers_of_ten[16];
        uint64_t widen = 0 - static_cast<uint64_t>(sixteen);
        decimal[k] = {(digits[k] * 10 & widen) | (digits[k] & ~widen), 17 - power[k]->q - sixteen};
    }
}

// repr of the floats outside shortest()'s range: zero, and the exponent form.
char *write_float_other(double x, char *out) {
    if (x == 0) {
        const char *zero = std::signbit(x) ? "-0.0" : "0.0";
        size_t size = std::strlen(zero);
        std::memcpy(out, zero, size);
        return out + size;
    }
    char text[float_repr_room];
    char *end = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific).ptr;
    char *e = static_cast<char *>(std::memchr(text, 'e', static_cast<size_t>(end - text)));
    size_t through_sign = static_cast<size_t>(e + 2 - text);
    std::memcpy(out, text, through_sign);
    out += through_sign;
    if (end - (e + 2) < 2) *out++ = '0'; // at least two exponent digits
    size_t exponent_digits = static_cast<size_t>(end - (e + 2));
    std::memcpy(out, e + 2, exponent_digits);
    return out + exponent_digits;
}

// Seventeen digits as text in three words, the first digit in the lowest byte: eight in
// `first`, eight in `second`, one in `last`; and how many zeros end them.
struct Text17 {
    uint64_t first, second, last;
    int trailing;
};

// The text of each of `decimal`'s digits, a step for every one before the next (as shortest).
template <size_t N>
[[gnu::always_inline]] inline void digits_text(const Digits17 (&decimal)[N], Text17 (&text)[N]) {
    constexpr uint64_t nine_digits = 1'000'000'000, zeros = 0x3030303030303030;
    uint64_t top[N], rest[N], middle[N];
    bool short_digits = true; // eight significant digits or fewer, as measured values come
    for (size_t k = 0; k < N; ++k) {
        top[k] = decimal[k].digits / nine_digits;
        rest[k] = decimal[k].digits % nine_digits;
        short_digits &= rest[k] == 0;
    }
    if (short_digits) { // the last nine are zeros: one word of text holds the digits
        for (size_t k = 0; k < N; ++k) {
            text[k].first = eight_digits(static_cast<uint32_t>(top[k]));
            text[k].second = zeros;
            text[k].last = '0';
            text[k].trailing = 9 + __builtin_clzll(text[k].first ^ zeros) / 8;
        }
        return;
    }
    for (size_t k = 0; k < N; ++k) {
        middle[k] = rest[k] / 10;
        text[k].last = rest[k] % 10 + '0';
    }
    for (size_t k = 0; k < N; ++k) {
        text[k].first = eight_digits(static_cast<uint32_t>(top[k]));
        text[k].second = eight_digits(static_cast<uint32_t>(middle[k]));
    }
    // The zeros at the end, which the text leaves out; found without branches, since how many
    // there are is as good as random. The first digit is never 0.
    for (size_t k = 0; k < N; ++k) {
        uint64_t first_bits = text[k].first ^ zeros, second_bits = text[k].second ^ zeros;
        int in_second = __builtin_clzll(second_bits | 1), in_first = __builtin_clzll(first_bits);
        int in_both = second_bits ? in_second : 64 + in_first; // bits of zero characters
        text[k].trailing = (1 + in_both / 8) & -static_cast<int>(text[k].last == '0');
    }
}

// Writes the text of a positional float, its point before digit `point` (-3 to 16), after a
// '-' if it is `negative`. Everything is stored in place, past the end where that is simpler:
// the buffer has room.
[[gnu::always_inline]] inline char *write_positional(Text17 text, int point, bool negative,
                                                     char *out) {
    *out = '-';
    out += negative;
    uint64_t first = text.first, second = text.second, last = text.last;
    if (point <= 0) { // 0.000ddd
        std::memcpy(out, "0.000000", 8);
        out += 2 - point;
        std::memcpy(out, &first, 8); // the byte order is little-endian's
        std::memcpy(out + 8, &second, 8);
        std::memcpy(out + 16, &last, 8);
        return out + 17 - text.trailing;
    }
    // ddd.ddd: the point put in its place, the bytes after it moved one place along; at least
    // one digit after it, a 0 if there is no other.
    if (point < 8) {
        last = last << 8 | second >> 56;
        second = second << 8 | first >> 56;
        first = insert_point(first, point);
    } else if (point < 16) {
        last = last << 8 | second >> 56;
        second = insert_point(second, point - 8);
    } else {
        last = insert_point(last, 0);
    }
    std::memcpy(out, &first, 8);
    std::memcpy(out + 8, &second, 8);
    std::memcpy(out + 16, &last, 8);
    return out + point + 1 + std::max(1, 17 - point - text.trailing);
}

// repr of each float `x[k]` (finite), each after what `before(k, at)` writes at `at` (returning
// its end).
template <size_t N, typename Before>
[[gnu::always_inline]] inline char *write_reprs(const double (&x)[N], Before before, char *out) {
    double magnitude[N];
    bool positional = true;
    for (size_t k = 0; k < N; ++k) {
        magnitude[k] = std::fabs(x[k]);
        positional &= magnitude[k] >= 1e-4 && magnitude[k] < 1e16;
    }
    if (positional) [[likely]] {
        Digits17 decimal[N];
        shortest(magnitude, decimal);
        for (size_t k = 0; k < N; ++k)
            positional &= decimal[k].point >= -3 && decimal[k].point <= 16;
        if (positional) [[likely]] {
            Text17 text[N];
            digits_text(decimal, text);
            for (size_t k = 0; k < N; ++k)
                out = write_positional(text[k], decimal[k].point, x[k] < 0, before(k, out));
            return out;
        }
    }
    // Some are not positional after all: one at a time.
    for (size_t k = 0; k < N; ++k) {
        out = before(k, out);
        if constexpr (N == 1) {
            out = write_float_other(x[k], out);
        } else {
            const double one[1] = {x[k]};
            out = write_reprs(
                one, [](size_t, char *at) { return at; }, out);
        }
    }
    return out;
}

} // namespace

char *float_repr(double x, char *out) noexcept {
    const double one[1] = {x};
    return write_reprs(
        one, [](size_t, char *at) { return at; }, out);
}

char *float_reprs(double x, double y, char *out) noexcept {
    const double two[2] = {x, y};
    return write_reprs(
        two,
        [](size_t k, char *at) {
            *at = ',';
            return at + (k > 0);
        },
        out);
}

char *float_pair_lists(const double (&x)[4], char *out) noexcept {
    out = write_reprs(
        x,
        [](size_t k, char *at) {
            if (k == 2) {
                std::memcpy(at, "],[", 3);
                return at + 3;
            }
            *at = k == 0 ? '[' : ',';
            return at + 1;
        },
        out);
    *out = ']';
    return out + 1;
}

} // namespace glimet::kernels
