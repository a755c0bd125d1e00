// The compact JSON writer. Every value it accepts is an exact built-in type whose text it
// writes as the standard encoder's C accelerator does, straight into the result str
// (str_writer.hpp). Strings go in one pass: a block of characters at a time is tested for
// those JSON escapes and copied, widened to the result's kind where that is wider.
#include "tervix_main/fast/compact_json.hpp"

#include "support/characters.hpp"
#include "support/internals.hpp"
#include "tervix_main/fast/budget.hpp"
#include "tervix_main/fast/fetch_ahead.hpp"
#include "tervix_main/fast/number_text.hpp"
#include "tervix_main/fast/str_writer.hpp"

#include <algorithm>
#include <cmath>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace glimet::tervix::fast {
namespace {

// Escape for a character below U+0020, or for '"' and '\\'; null when it passes as it is.
const char *escape_for(Py_UCS4 c) {
    static const char *const control[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    if (c < 32) return control[c];
    if (c == '"') return "\\\"";
    if (c == '\\') return "\\\\";
    return nullptr;
}

template <typename Char> bool needs_escape(Char c) { return c < 32 || c == '"' || c == '\\'; }

#ifdef __SSE2__
// The characters of one 16-byte block: 16, 8 or 4 of them.
template <typename In> constexpr size_t block = 16 / sizeof(In);

// A bit per byte of `x`, set in the bytes of characters that need an escape.
template <typename In> unsigned escape_bits(__m128i x) {
    __m128i quote, backslash, control;
    if constexpr (sizeof(In) == 1) {
        quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
        backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
        control = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(31)), _mm_set1_epi8(31));
    } else if constexpr (sizeof(In) == 2) {
        quote = _mm_cmpeq_epi16(x, _mm_set1_epi16('"'));
        backslash = _mm_cmpeq_epi16(x, _mm_set1_epi16('\\'));
        control = _mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(31)), _mm_setzero_si128());
    } else { // code points stay below 2**31, so the signed comparison holds
        quote = _mm_cmpeq_epi32(x, _mm_set1_epi32('"'));
        backslash = _mm_cmpeq_epi32(x, _mm_set1_epi32('\\'));
        control = _mm_cmplt_epi32(x, _mm_set1_epi32(32));
    }
    __m128i special = _mm_or_si128(_mm_or_si128(quote, backslash), control);
    return static_cast<unsigned>(_mm_movemask_epi8(special));
}

// Stores the block `x` of In characters at `out` as Out characters.
template <typename In, typename Out> void store_block(Out *out, __m128i x) {
    auto *at = reinterpret_cast<__m128i *>(out);
    __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(In) == sizeof(Out)) {
        _mm_storeu_si128(at, x);
    } else if constexpr (sizeof(In) == 2) { // to UCS-4
        _mm_storeu_si128(at, _mm_unpacklo_epi16(x, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(x, zero));
    } else if constexpr (sizeof(Out) == 2) { // UCS-1 to UCS-2
        _mm_storeu_si128(at, _mm_unpacklo_epi8(x, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi8(x, zero));
    } else { // UCS-1 to UCS-4
        __m128i low = _mm_unpacklo_epi8(x, zero), high = _mm_unpackhi_epi8(x, zero);
        _mm_storeu_si128(at, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(at + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(at + 3, _mm_unpackhi_epi16(high, zero));
    }
}
#endif

#ifdef __SSE2__
// Copies `n` characters, fewer than a block, from `in` to `out`: in units that may overlap,
// so that nothing is read or written outside the `n` characters.
template <typename In, typename Out> void copy_short(const In *in, size_t n, Out *out) {
    if constexpr (sizeof(In) == sizeof(Out)) {
        size_t bytes = n * sizeof(In);
        auto copy = [&](auto unit) {
            constexpr size_t size = sizeof unit;
            auto *from = reinterpret_cast<const char *>(in);
            auto *to = reinterpret_cast<char *>(out);
            std::memcpy(&unit, from, size);
            std::memcpy(to, &unit, size);
            std::memcpy(&unit, from + bytes - size, size);
            std::memcpy(to + bytes - size, &unit, size);
        };
        if (bytes >= 8)
            copy(uint64_t{});
        else if (bytes >= 4)
            copy(uint32_t{});
        else if (bytes >= 2)
            copy(uint16_t{});
        else if (bytes == 1)
            out[0] = in[0];
    } else if constexpr (sizeof(In) == 1) {
        // Eight or four characters at a time, widened in a register.
        auto widen = [&](size_t at, __m128i x) {
            x = _mm_unpacklo_epi8(x, _mm_setzero_si128());
            if constexpr (sizeof(Out) == 2) {
                if (n >= 8) return _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at), x);
                _mm_storel_epi64(reinterpret_cast<__m128i *>(out + at), x);
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at),
                                 _mm_unpacklo_epi16(x, _mm_setzero_si128()));
                if (n >= 8)
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at + 4),
                                     _mm_unpackhi_epi16(x, _mm_setzero_si128()));
            }
        };
        if (n >= 8) {
            widen(0, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in)));
            widen(n - 8, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + n - 8)));
        } else if (n >= 4) {
            uint32_t first, last;
            std::memcpy(&first, in, 4);
            std::memcpy(&last, in + n - 4, 4);
            widen(0, _mm_cvtsi32_si128(static_cast<int>(first)));
            widen(n - 4, _mm_cvtsi32_si128(static_cast<int>(last)));
        } else {
            for (size_t i = 0; i < n; ++i) out[i] = in[i];
        }
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = in[i];
    }
}
#endif

// Copies characters from `in` to `out` up to the first that needs an escape, of `n` at most;
// returns how many were copied. `out` has room for `n`; the block before in + n lies within the
// str's object (its header comes before its characters).
template <typename In, typename Out> size_t copy_plain(const In *in, size_t n, Out *out) {
#ifdef __SSE2__
    // Whole blocks are stored before they are looked at: the characters past an escape are
    // overwritten afterwards.
    size_t i = 0;
    for (; n - i >= block<In>; i += block<In>) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        store_block<In, Out>(out + i, x);
        if (unsigned bits = escape_bits<In>(x))
            return i + static_cast<size_t>(__builtin_ctz(bits)) / sizeof(In);
    }
    if (i == n) return n;
    // The rest, fewer than a block, looked at in the block that ends where they end.
    size_t rest = n - i;
    auto *block_end = reinterpret_cast<const char *>(in + n);
    unsigned bits =
        escape_bits<In>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block_end - 16))) >>
        (16 - rest * sizeof(In));
    size_t plain = bits ? static_cast<size_t>(__builtin_ctz(bits)) / sizeof(In) : rest;
    copy_short(in + i, plain, out + i);
    return i + plain;
#else
    for (size_t i = 0; i < n; ++i) {
        if (needs_escape(in[i])) return i;
        out[i] = static_cast<Out>(in[i]);
    }
    return n;
#endif
}

// Appends the `n` characters at `in`, escaped; room for them and one more has been reserved.
template <typename In, typename Out> void write_escaped(StrWriter &out, const In *in, size_t n) {
    size_t i = 0;
    for (;;) {
        size_t plain = copy_plain(in + i, n - i, out.end<Out>());
        out.advance(plain);
        i += plain;
        if (i == n) return;
        // Room for the escape (six characters at most), the rest, and the one after.
        if (!out.reserve(n - i + 6)) return;
        const char *escape = escape_for(in[i]);
        out.ascii(escape, std::strlen(escape));
        ++i;
    }
}

// Appends `text` (an exact str) as a JSON string, then `after` unless it is 0. Declined for a
// str whose characters are not stored in its object, which this interpreter does not make.
Route write_string(StrWriter &out, PyObject *text, char after = 0) {
    if (!PyUnicode_IS_COMPACT(text)) return Route::declined;
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (!out.hold(PyUnicode_MAX_CHAR_VALUE(text)) || !out.reserve(n + 3)) return Route::written;
    out.character('"');
    const void *data = PyUnicode_DATA(text);
    int out_kind = out.kind();
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS1 *>(data);
        if (out_kind == 1)
            write_escaped<Py_UCS1, Py_UCS1>(out, in, n);
        else if (out_kind == 2)
            write_escaped<Py_UCS1, Py_UCS2>(out, in, n);
        else
            write_escaped<Py_UCS1, Py_UCS4>(out, in, n);
        break;
    }
    case PyUnicode_2BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS2 *>(data);
        if (out_kind == 2)
            write_escaped<Py_UCS2, Py_UCS2>(out, in, n);
        else
            write_escaped<Py_UCS2, Py_UCS4>(out, in, n);
        break;
    }
    default:
        write_escaped<Py_UCS4, Py_UCS4>(out, static_cast<const Py_UCS4 *>(data), n);
    }
    if (!out.reserve(2)) return Route::written;
    out.character('"');
    if (after) out.character(after);
    return Route::written;
}

// Appends the ASCII text `write` puts at a char pointer (returning its end), at most
// number_text_size characters; straight into the result while it is one byte a character.
template <typename Write> void write_ascii(StrWriter &out, Write write) {
    if (!out.reserve(number_text_size)) return;
    if (out.kind() == 1) {
        char *at = reinterpret_cast<char *>(out.end<Py_UCS1>());
        out.advance(static_cast<size_t>(write(at) - at));
        return;
    }
    char text[number_text_size];
    out.ascii(text, static_cast<size_t>(write(text) - text));
}

template <size_t size> void write_literal(StrWriter &out, const char (&literal)[size]) {
    write_ascii(out, [&literal](char *at) {
        std::memcpy(at, literal, size - 1);
        return at + size - 1;
    });
}

void put(StrWriter &out, char c) {
    if (out.reserve(1)) out.character(c);
}

// A float as the encoder writes it: the tokens for non-finite values, else repr.
void write_float(StrWriter &out, double x) {
    if (std::isnan(x)) return write_literal(out, "NaN");
    if (std::isinf(x) && x > 0) return write_literal(out, "Infinity");
    if (std::isinf(x)) return write_literal(out, "-Infinity");
    write_ascii(out, [x](char *at) { return write_float_repr(x, at); });
}

// An exact int as int.__repr__ writes it; declined where that fails (past the digit limit).
Route write_int(StrWriter &out, PyObject *value) {
    long long small;
    if (internals::small_int(value, &small)) {
        // Straight into the text, in whatever kind it is stored.
        if (!out.reserve(number_text_size)) return Route::written;
        auto write = [&out, small](auto *at) {
            out.advance(static_cast<size_t>(write_decimal(int64_t{small}, at) - at));
        };
        if (out.kind() == 1)
            write(reinterpret_cast<char *>(out.end<Py_UCS1>()));
        else if (out.kind() == 2)
            write(out.end<Py_UCS2>());
        else
            write(out.end<Py_UCS4>());
        return Route::written;
    }
    // int's own repr, which runs no Python code; past the digit limit it refuses, and the
    // general route then meets that refusal.
    Ref digits = Ref::steal(PyLong_Type.tp_repr(value));
    if (!digits) {
        PyErr_Clear();
        return Route::declined;
    }
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(digits.get()));
    if (out.reserve(n)) out.ascii(static_cast<const char *>(PyUnicode_DATA(digits.get())), n);
    return Route::written;
}

// A dict key and its ':': a str as a JSON string, other plain keys as their JSON text in
// quotes.
Route write_key(StrWriter &out, PyObject *key) {
    if (PyUnicode_CheckExact(key)) return write_string(out, key, ':');
    put(out, '"');
    if (key == Py_True)
        write_literal(out, "true");
    else if (key == Py_False)
        write_literal(out, "false");
    else if (key == Py_None)
        write_literal(out, "null");
    else if (PyFloat_CheckExact(key))
        write_float(out, PyFloat_AS_DOUBLE(key));
    else if (!PyLong_CheckExact(key) || write_int(out, key) == Route::declined)
        return Route::declined;
    write_literal(out, "\":");
    return Route::written;
}

Route write_value(StrWriter &out, PyObject *value, int depth, int room);

// A container's member, as write_value writes it: strings and ints, most members, without the
// recursive call.
Route write_member(StrWriter &out, PyObject *value, int depth, int room) {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_string(out, value);
    if (type == &PyLong_Type) return write_int(out, value);
    return write_value(out, value, depth, room);
}

Route write_dict(StrWriter &out, PyObject *dict, int depth, int room) {
    // The entries are borrowed: nothing here runs Python code, so the dict stays as it is.
    put(out, '{');
    bool first = true;
    bool whole = internals::for_each_entry<fetch_ahead>(dict, [&](PyObject *key, PyObject *value) {
        if (!first) put(out, ',');
        first = false;
        return write_key(out, key) == Route::written &&
               write_member(out, value, depth + 1, room) == Route::written;
    });
    put(out, '}');
    return whole ? Route::written : Route::declined;
}

// Whether `item` is a finite float.
bool finite_float(PyObject *item) {
    return Py_TYPE(item) == &PyFloat_Type && std::isfinite(PyFloat_AS_DOUBLE(item));
}

// Writes the items of a sequence from `i` on while they are finite floats and the text is one
// byte a character, each after a ',' unless it is the first; returns where it stopped. Room is
// made once for a block of them, and each goes straight into the text, two at a time where
// two come together (write_float_reprs works on both at once).
Py_ssize_t write_floats(StrWriter &out, PyObject *const *items, Py_ssize_t i, Py_ssize_t size) {
    constexpr Py_ssize_t block = 32;
    while (i < size && out.kind() == 1) {
        Py_ssize_t end = std::min(size, i + block);
        if (!out.reserve(static_cast<size_t>(end - i) * (number_text_size + 1))) return i;
        char *start = reinterpret_cast<char *>(out.end<Py_UCS1>()), *at = start;
        for (; i < end && finite_float(items[i]); ++i) {
            if (i + fetch_ahead < size) prefetch(items[i + fetch_ahead]);
            *at = ',';
            at += i > 0;
            double x = PyFloat_AS_DOUBLE(items[i]);
            if (i + 1 < end && finite_float(items[i + 1])) {
                at = write_float_reprs(x, PyFloat_AS_DOUBLE(items[i + 1]), at);
                ++i;
            } else {
                at = write_float_repr(x, at);
            }
        }
        out.advance(static_cast<size_t>(at - start));
        if (i < end) break;
    }
    return i;
}

// Whether `item` is a list of two finite floats, as coordinates come: [x, y].
bool float_pair(PyObject *item) {
    return Py_TYPE(item) == &PyList_Type && PyList_GET_SIZE(item) == 2 &&
           finite_float(PyList_GET_ITEM(item, 0)) && finite_float(PyList_GET_ITEM(item, 1));
}

// Writes the items of a sequence from `i` on, two at a time, while both are lists of two finite
// floats and the text is one byte a character, each after a ',' unless it is the first;
// returns where it stopped. The four floats are worked on side by side (write_float_pair_lists).
// The lists are containers inside `depth` others, where `room` are allowed (as write_value).
Py_ssize_t write_float_pairs(StrWriter &out, PyObject *const *items, Py_ssize_t i,
                             Py_ssize_t size, int depth, int room) {
    if (depth >= room) return i; // the lists' level is refused: write_value says so
    constexpr size_t most = 4 * (number_text_size + 1) + 8; // four floats and ",[", ",", "],[", "]"
    while (i + 1 < size && out.kind() == 1 && float_pair(items[i]) && float_pair(items[i + 1])) {
        if (i + fetch_ahead + 1 < size) {
            prefetch(items[i + fetch_ahead]);
            prefetch(items[i + fetch_ahead + 1]);
        }
        if (!out.reserve(most)) return i;
        const double x[4] = {PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i], 0)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i], 1)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i + 1], 0)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i + 1], 1))};
        char *start = reinterpret_cast<char *>(out.end<Py_UCS1>()), *at = start;
        *at = ',';
        at = write_float_pair_lists(x, at + (i > 0));
        out.advance(static_cast<size_t>(at - start));
        i += 2;
    }
    return i;
}

Route write_sequence(StrWriter &out, PyObject *sequence, int depth, int room) {
    put(out, '[');
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    PyObject **items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (Py_TYPE(items[i]) == &PyFloat_Type) {
            i = write_floats(out, items, i, size);
            if (i == size) break;
        } else if (Py_TYPE(items[i]) == &PyList_Type) {
            i = write_float_pairs(out, items, i, size, depth + 1, room);
            if (i == size) break;
        }
        if (i + fetch_ahead < size) prefetch(items[i + fetch_ahead]);
        if (i > 0) put(out, ',');
        if (write_member(out, items[i], depth + 1, room) == Route::declined) return Route::declined;
    }
    put(out, ']');
    return Route::written;
}

// `value` inside `depth` containers, where `room` containers in all are allowed. One look at
// the type, the most common first.
Route write_value(StrWriter &out, PyObject *value, int depth, int room) {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_string(out, value);
    if (type == &PyLong_Type) return write_int(out, value);
    if (type == &PyFloat_Type) {
        write_float(out, PyFloat_AS_DOUBLE(value));
        return Route::written;
    }
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
        // The encoder takes a level of the recursion budget for each container it enters.
        if (depth >= room) return Route::declined;
        return type == &PyDict_Type ? write_dict(out, value, depth, room)
                                    : write_sequence(out, value, depth, room);
    }
    if (value == Py_None)
        write_literal(out, "null");
    else if (value == Py_True)
        write_literal(out, "true");
    else if (value == Py_False)
        write_literal(out, "false");
    else
        return Route::declined;
    return Route::written;
}

} // namespace

void write_json_string(TextBuilder &out, PyObject *text) {
    out.character('"');
    with_characters(text, [&](const auto *chars, Py_ssize_t length) {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 c = chars[i];
            if (!needs_escape(c)) continue;
            out.substring(text, start, i);
            out.ascii(escape_for(c));
            start = i + 1;
        }
        out.substring(text, start, length);
    });
    out.character('"');
}

void write_json_string(TextBuilder &out, const Py_UCS4 *chars, size_t n, Py_UCS4 widest) {
    out.character('"');
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        Py_UCS4 c = chars[i];
        if (!needs_escape(c)) continue;
        out.chars(chars + start, i - start, widest);
        out.ascii(escape_for(c));
        start = i + 1;
    }
    out.chars(chars + start, n - start, widest);
    out.character('"');
}

Route write_json(Ref &text, PyObject *value) {
    if (!room_for_frames(json_dumps_frames)) return Route::declined;
    StrWriter out;
    if (write_value(out, value, 0, container_room(json_dumps_levels)) == Route::declined)
        return Route::declined;
    text = out.finish(); // empty only when memory ran out, which the general route meets again
    return text ? Route::written : Route::declined;
}

} // namespace glimet::tervix::fast
