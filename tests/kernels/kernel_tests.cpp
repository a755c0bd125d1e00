// The kernels tested without an interpreter, every body the processor has against the
// standard library or a plain oracle: float repr against std::to_chars' shortest round trip,
// int text against std::to_chars, escapes, mark scans and UTF-8 against one-character-at-a-time
// oracles,
// SHA-256 against the published test vectors. Built by CMake with GLIMET_KERNEL_TESTS=ON
// (make check-kernels), natively and for aarch64 under qemu (make check-aarch64). Prints one
// line per failure and "N passed, M failed" at the end; exits 1 on any failure.
#include "kernels/escape.hpp"
#include "kernels/float_repr.hpp"
#include "kernels/int_text.hpp"
#include "kernels/kernels.hpp"
#include "kernels/mark_scan.hpp"
#include "kernels/sha256.hpp"
#include "kernels/utf8.hpp"
#include "repr_oracle.hpp"

#include <bit>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace glimet::kernels;

int passed = 0, failed = 0;

// Counts a check; prints what failed, with the body that ran.
bool check(bool ok, const char *kernel, const std::string &what) {
    if (ok) {
        ++passed;
        return true;
    }
    if (++failed <= 50) std::printf("FAILED %s: %s\n", kernel, what.c_str());
    return false;
}

std::mt19937_64 rng(20261207);

// The bodies of one kernel this processor can run: the scalar one, and the one it has.
std::vector<Body> bodies(Body Selection::*kernel) {
    std::vector<Body> found{Body::scalar};
    if (available().*kernel != Body::scalar) found.push_back(available().*kernel);
    return found;
}

std::string show(double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

// Doubles of every kind: random bit patterns, powers of two and ten and their neighbours, the
// positional range's edges, integers, short decimals, subnormals and the extremes.
std::vector<double> sample_doubles() {
    std::vector<double> values;
    for (int i = 0; i < 400000; ++i) {
        double x = std::bit_cast<double>(rng());
        if (std::isfinite(x)) values.push_back(x);
    }
    std::uniform_real_distribution<double> unit(-1e6, 1e6);
    for (int i = 0; i < 200000; ++i) {
        double x = unit(rng);
        values.push_back(x);
        values.push_back(std::round(x * 1000) / 1000); // up to six significant digits
        values.push_back(std::ldexp(x, static_cast<int>(rng() % 120) - 60));
    }
    for (int e = -1074; e <= 1023; ++e) {
        double power = std::ldexp(1.0, e);
        for (double x : {power, std::nextafter(power, 0.0), std::nextafter(power, 1e308)})
            values.push_back(x);
    }
    for (int e = -323; e <= 308; ++e) {
        double power = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        for (double x : {power, std::nextafter(power, 0.0), std::nextafter(power, 1e308)})
            values.push_back(x);
    }
    for (double x : {1e-4, 9.999999999999999e-5, 1e16, 9999999999999998.0, 0.1, 0.3, 2.5, 123.0,
                     5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.0})
        values.push_back(x);
    for (int64_t i = -2000; i <= 2000; ++i) values.push_back(static_cast<double>(i));
    size_t count = values.size();
    for (size_t i = 0; i < count; ++i) values.push_back(-values[i]);
    return values;
}

void test_float_repr() {
    std::vector<double> values = sample_doubles();
    int wrong = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        double x = values[i];
        char text[float_repr_room];
        std::string ours(text, float_repr(x, text)), expected = expected_repr(x);
        if (ours != expected && ++wrong <= 20)
            check(false, "float_repr", show(x) + " gave " + ours + ", not " + expected);
        // Two at a time and two lists of two give the same text as one at a time.
        if (i + 3 < values.size() && i % 7 == 0) {
            const double four[4] = {x, values[i + 1], values[i + 2], values[i + 3]};
            char one[4][float_repr_room];
            std::string each[4];
            for (int k = 0; k < 4; ++k) each[k].assign(one[k], float_repr(four[k], one[k]));
            char pair[2 * float_repr_room + 1], lists[4 * float_repr_room + 8];
            std::string two(pair, float_reprs(four[0], four[1], pair));
            std::string pairs(lists, float_pair_lists(four, lists));
            if (two != each[0] + "," + each[1] && ++wrong <= 20)
                check(false, "float_reprs", show(four[0]) + ", " + show(four[1]) + ": " + two);
            std::string listed =
                "[" + each[0] + "," + each[1] + "],[" + each[2] + "," + each[3] + "]";
            if (pairs != listed && ++wrong <= 20)
                check(false, "float_pair_lists", show(four[0]) + "...: " + pairs);
        }
    }
    check(wrong == 0, "float_repr",
          std::to_string(wrong) + " of " + std::to_string(values.size()) + " doubles wrong");
}

template <typename Char> std::string narrow(const Char *text, const Char *end) {
    std::string out;
    for (; text < end; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

template <typename Char> void test_int_text_as(const std::vector<int64_t> &values) {
    int wrong = 0;
    for (int64_t value : values) {
        char expected[24];
        std::string reference(expected, std::to_chars(expected, expected + 24, value).ptr);
        Char out[int_text_room];
        if (narrow(out, int_text(value, out)) != reference && ++wrong <= 10)
            check(false, "int_text",
                  reference + " in characters of " + std::to_string(sizeof(Char)) + " bytes");
        auto magnitude = static_cast<uint64_t>(value) | (uint64_t{1} << 63);
        char unsigned_expected[24];
        std::string unsigned_reference(
            unsigned_expected,
            std::to_chars(unsigned_expected, unsigned_expected + 24, magnitude).ptr);
        if (narrow(out, int_text(magnitude, out)) != unsigned_reference && ++wrong <= 10)
            check(false, "int_text", unsigned_reference);
    }
    check(wrong == 0, "int_text", std::to_string(wrong) + " wrong");
}

void test_int_text() {
    std::vector<int64_t> values{0, std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max()};
    for (uint64_t power : powers_of_ten) // 10**0 to 10**19 and their neighbours, either sign
        for (uint64_t x : {power - 1, power, power + 1})
            values.insert(values.end(), {static_cast<int64_t>(x), -static_cast<int64_t>(x)});
    for (int i = 0; i < 200000; ++i) {
        auto x = static_cast<int64_t>(rng());
        values.push_back(x >> (rng() % 64)); // every width
    }
    test_int_text_as<char>(values);
    test_int_text_as<uint16_t>(values);
    test_int_text_as<uint32_t>(values);
}

// `text` escaped as the writers escape it with copy_unescaped, in characters of Out.
template <typename In, typename Out> std::vector<Out> escaped(const In *in, size_t n) {
    std::vector<Out> out(n * escape_room + 1);
    size_t i = 0, at = 0;
    while (true) {
        size_t plain = copy_unescaped(in + i, n - i, out.data() + at);
        i += plain, at += plain;
        if (i == n) break;
        for (char c : escape_sequence(in[i++])) out[at++] = static_cast<Out>(c);
    }
    out.resize(at);
    return out;
}

// The oracle: one character at a time, escaped as the standard encoder escapes it.
template <typename In, typename Out> std::vector<Out> escaped_oracle(const In *in, size_t n) {
    std::vector<Out> out;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = in[i];
        char escape[8] = {};
        if (c == '"' || c == '\\') {
            escape[0] = '\\', escape[1] = static_cast<char>(c);
        } else if (c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f') {
            escape[0] = '\\';
            escape[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : c == '\b' ? 'b' : 'f';
        } else if (c < 32) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
        } else {
            out.push_back(static_cast<Out>(c));
            continue;
        }
        for (char *e = escape; *e; ++e) out.push_back(static_cast<Out>(*e));
    }
    return out;
}

template <typename In, typename Out> void test_escape_as(const char *body) {
    // Texts of every length to past four blocks, with an escape at every place, or none, as a
    // str's characters lie: with readable bytes before them.
    const uint32_t specials[] = {'"', '\\', 0, '\n', 31};
    const uint32_t plain[] = {'a', ' ', 0x7f, 0xe9, 0xff, 0x5f20, 0xffff, 0x1f600, 0x10ffff};
    int wrong = 0;
    for (size_t n = 0; n <= 70; ++n) {
        for (size_t place = 0; place <= n; ++place) {
            std::vector<In> buffer(n + 64 / sizeof(In));
            In *text = buffer.data() + 32 / sizeof(In);
            for (size_t i = 0; i < n; ++i) {
                uint32_t c = plain[rng() % std::size(plain)];
                text[i] = static_cast<In>(c <= std::numeric_limits<In>::max() ? c : 'b');
            }
            if (place < n) text[place] = static_cast<In>(specials[rng() % std::size(specials)]);
            if (place < n && rng() % 3 == 0) text[rng() % n] = '"';
            if (escaped<In, Out>(text, n) != escaped_oracle<In, Out>(text, n) && ++wrong <= 5)
                check(false, body,
                      "escape of " + std::to_string(n) + " characters of " +
                          std::to_string(sizeof(In)) + " bytes, escape at " +
                          std::to_string(place));
        }
    }
    check(wrong == 0, body, "escape: " + std::to_string(wrong) + " wrong");
}

void test_escape() {
    for (Body body : bodies(&Selection::escape)) {
        selection.escape = body;
        const char *name = body_name(body);
        test_escape_as<uint8_t, uint8_t>(name);
        test_escape_as<uint8_t, uint16_t>(name);
        test_escape_as<uint8_t, uint32_t>(name);
        test_escape_as<uint16_t, uint16_t>(name);
        test_escape_as<uint16_t, uint32_t>(name);
        test_escape_as<uint32_t, uint32_t>(name);
    }
}

// Every position mark_scan finds in `text`, from each start on, against the plain reading:
// "e" then "&" or a quotation mark. Texts of every length to past four blocks, each in a vector
// of its own size (so that a sanitizer sees any read past it), with characters whose other
// bytes hold those letters.
template <typename Char> void test_mark_scan_as(const char *body) {
    const uint32_t letters[] = {'e', 'e', '&', '"', 'a', '$', 'f', 0x65e5, 0x2226, 0x126, 0xe9,
                                0x65, 0x1f600, 0x2600, 0x650000};
    int wrong = 0;
    for (size_t n = 1; n <= 80; ++n) {
        for (int trial = 0; trial < 30; ++trial) {
            std::vector<Char> text(n);
            for (Char &c : text) {
                uint32_t letter = letters[rng() % std::size(letters)];
                c = static_cast<Char>(letter <= std::numeric_limits<Char>::max() ? letter : 'e');
            }
            size_t from = 1 + rng() % n;
            std::vector<size_t> found, expected;
            for (size_t i = mark_scan(text.data(), n, from); i < n;
                 i = mark_scan(text.data(), n, i + 1))
                found.push_back(i);
            for (size_t i = from; i < n; ++i)
                if (text[i - 1] == 'e' && (text[i] == '&' || text[i] == '"')) expected.push_back(i);
            if (found != expected && ++wrong <= 5)
                check(false, body,
                      "mark_scan of " + std::to_string(n) + " characters of " +
                          std::to_string(sizeof(Char)) + " bytes from " + std::to_string(from));
        }
    }
    check(wrong == 0, body, "mark_scan: " + std::to_string(wrong) + " wrong");
}

void test_mark_scan() {
    for (Body body : bodies(&Selection::mark_scan)) {
        selection.mark_scan = body;
        test_mark_scan_as<uint8_t>(body_name(body));
        test_mark_scan_as<uint16_t>(body_name(body));
        test_mark_scan_as<uint32_t>(body_name(body));
    }
}

// The oracle: UTF-8 by the rule, one character at a time; `ok` false at a lone surrogate.
template <typename Char> std::string utf8_oracle(const std::vector<Char> &text, bool &ok) {
    std::string out;
    ok = true;
    auto put = [&out](uint32_t byte) { out.push_back(static_cast<char>(byte)); };
    for (uint32_t c : text) {
        if (c >= 0xD800 && c <= 0xDFFF) ok = false;
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | c >> 6), put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | c >> 12), put(0x80 | (c >> 6 & 0x3F)), put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | c >> 18), put(0x80 | (c >> 12 & 0x3F));
            put(0x80 | (c >> 6 & 0x3F)), put(0x80 | (c & 0x3F));
        }
    }
    return out;
}

template <typename Char> void test_utf8_as(const char *body) {
    const uint32_t samples[] = {'a',    0x7f,   0x80,   0xe9,   0xff,    0x100,   0x7ff,   0x800,
                                0x5f20, 0xd7ff, 0xe000, 0xffff, 0x10000, 0x1f600, 0x10ffff};
    int wrong = 0;
    for (size_t n = 0; n <= 100; ++n) {
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<Char> text(n);
            for (Char &c : text) {
                uint32_t s = samples[rng() % std::size(samples)];
                c = static_cast<Char>(s <= std::numeric_limits<Char>::max() ? s : 'z');
            }
            if (sizeof(Char) > 1 && n > 0 && trial % 8 == 0) // a lone surrogate somewhere
                text[rng() % n] = static_cast<Char>(0xD800 + rng() % 0x800);
            bool ok;
            std::string expected = utf8_oracle(text, ok);
            std::vector<char> out(utf8_room(n, sizeof(Char)));
            char *end = utf8_encode(text.data(), n, out.data());
            bool same = ok ? end && std::string(out.data(), end) == expected : !end;
            if (!same && ++wrong <= 5)
                check(false, body,
                      "utf8 of " + std::to_string(n) + " characters of " +
                          std::to_string(sizeof(Char)) + " bytes");
        }
    }
    check(wrong == 0, body, "utf8: " + std::to_string(wrong) + " wrong");
}

void test_utf8() {
    for (Body body : bodies(&Selection::utf8)) {
        selection.utf8 = body;
        test_utf8_as<uint8_t>(body_name(body));
        test_utf8_as<uint16_t>(body_name(body));
        test_utf8_as<uint32_t>(body_name(body));
    }
}

std::string hex(const unsigned char (&digest)[32]) {
    std::string out;
    char pair[3];
    for (unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

void test_sha256() {
    // The examples of FIPS 180-2 and NIST's, and one of the empty message.
    const struct {
        std::string message;
        const char *digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    std::vector<unsigned char> random(5000);
    for (unsigned char &byte : random) byte = static_cast<unsigned char>(rng());
    for (Body body : bodies(&Selection::sha256)) {
        selection.sha256 = body;
        const char *name = body_name(body);
        for (const auto &vector : vectors) {
            unsigned char digest[32];
            sha256(reinterpret_cast<const unsigned char *>(vector.message.data()),
                   vector.message.size(), digest);
            check(hex(digest) == vector.digest, name,
                  "sha256 of " + std::to_string(vector.message.size()) + " bytes");
        }
        // Fed in pieces of every size, across block and padding edges: as fed whole by the
        // scalar body.
        int wrong = 0;
        for (size_t size :
             {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u, 1000u, 5000u}) {
            unsigned char whole[32], pieces[32];
            selection.sha256 = Body::scalar;
            sha256(random.data(), size, whole);
            selection.sha256 = body;
            Sha256 hash;
            for (size_t at = 0; at < size;) {
                size_t piece = std::min(size - at, static_cast<size_t>(rng() % 150));
                hash.update(random.data() + at, piece);
                at += piece;
            }
            hash.finish(pieces);
            wrong += std::memcmp(whole, pieces, 32) != 0;
        }
        check(wrong == 0, name, "sha256 in pieces: " + std::to_string(wrong) + " wrong");
    }
}

void test_selection() {
    Selection all = available();
    check(select("").utf8 == all.utf8 && selection.escape == all.escape &&
              selection.mark_scan == all.mark_scan,
          "select", "\"\"");
    const Selection &off = select("off");
    check(off.escape == Body::scalar && off.mark_scan == Body::scalar && off.utf8 == Body::scalar &&
              off.sha256 == Body::scalar,
          "select", "off");
    const Selection &some = select("no-utf8,no-sha256");
    check(some.utf8 == Body::scalar && some.sha256 == Body::scalar && some.escape == all.escape,
          "select", "no-utf8,no-sha256");
    selection = all;
}

} // namespace

int main() {
    std::printf("kernel_tests: escape %s, mark_scan %s, utf8 %s, sha256 %s available\n",
                body_name(available().escape), body_name(available().mark_scan),
                body_name(available().utf8), body_name(available().sha256));
    test_selection();
    test_int_text();
    test_float_repr();
    test_escape();
    test_mark_scan();
    test_utf8();
    test_sha256();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
