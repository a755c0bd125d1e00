// TERVIXWorkMain._tervix_saas_sign and _tervix_saas_sign_params: SaaS request signing.
// Both stamp the caller's mapping, build the signed text from its entries in ascending key
// order, append the signing constant `env` selects and have m_crypt.sha256 sign the result.
#include "glimet_crypt/crypt_api.hpp"
#include "support/traceback.hpp"
#include "tervix_main/operations.hpp"
#include "tervix_main/compact_json.hpp"
#include "tervix_main/salts.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace glimet::tervix {
namespace {

// An object made on first use and kept for the process, like Name.
class Kept {
public:
    using Maker = PyObject *(*)();
    constexpr explicit Kept(Maker make) noexcept : make_(make) {}
    PyObject *get() noexcept {
        if (!object_) object_ = make_();
        return object_;
    }

private:
    Maker make_;
    PyObject *object_ = nullptr;
};

const CryptApi *crypt_api = nullptr; // glimet_crypt's, when it could be had

Name time_name{"time"};
Name json_name{"json"};
Name m_crypt_name{"m_crypt"};
Name print_name{"print"};
Name dumps_name{"dumps"};
Name sha256_name{"sha256"};
Name get_name{"get"};
Name pop_name{"pop"};
Name items_name{"items"};
Name update_name{"update"};
Name json_dumps_name{"_json_dumps"};
Name timespan_key{"saas_sign_timespan"};
Name sign_key{"saas_sign"};
Name ensure_ascii_name{"ensure_ascii"};
Name upper_text{"upper"};
Name empty_text{""};
Name equals_text{"="};
Name and_text{"&"};
Name prod_text{"prod"};

// Made after the names above, which the makers use.
Kept thousand{[] { return PyLong_FromLong(1000); }};
Kept timespan_kwnames{[] { return PyTuple_Pack(1, timespan_key.get()); }};
Kept sign_kwnames{[] { return PyTuple_Pack(1, sign_key.get()); }};
Kept ensure_ascii_kwnames{[] { return PyTuple_Pack(1, ensure_ascii_name.get()); }};
Kept dict_or_list{[] {
    return PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyDict_Type),
                        reinterpret_cast<PyObject *>(&PyList_Type));
}};

// Makes every name and object above, while the module loads; after that each get() is
// non-null.
[[nodiscard]] int prepare() {
    static bool ready = false;
    if (ready) return 0;
    Name *names[] = {&time_name,    &json_name, &m_crypt_name,      &print_name,  &dumps_name,
                     &sha256_name,  &get_name,  &pop_name, &items_name,          &update_name, &json_dumps_name,
                     &timespan_key, &sign_key,  &ensure_ascii_name, &upper_text,  &empty_text,
                     &equals_text,  &and_text,  &prod_text};
    for (Name *name : names)
        if (!name->get()) return -1;
    for (Kept *object :
         {&thousand, &timespan_kwnames, &sign_kwnames, &ensure_ascii_kwnames, &dict_or_list})
        if (!object->get()) return -1;
    ready = true;
    return 0;
}


// The caller's mapping is used through its own methods; an exact dict's methods cannot be
// replaced, so for one the same effect is had directly.

// mapping.get(key)
Ref mapping_get(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) < 0) return {};
        return Ref::steal(value ? value : Py_NewRef(Py_None));
    }
    return Ref::steal(PyObject_CallMethodOneArg(mapping, get_name.get(), key));
}

// mapping.pop(key, None), result dropped.
[[nodiscard]] int mapping_pop(PyObject *mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *value = nullptr;
        int found = PyDict_Pop(mapping, key, &value);
        Py_XDECREF(value);
        return found < 0 ? -1 : 0;
    }
    PyObject *args[] = {mapping, key, Py_None};
    Ref result = Ref::steal(PyObject_VectorcallMethod(pop_name.get(), args,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return result ? 0 : -1;
}

// mapping.update(<name>=value), where `kwnames` is the one-name tuple (name,).
[[nodiscard]] int mapping_update(PyObject *mapping, PyObject *kwnames, PyObject *value) {
    if (PyDict_CheckExact(mapping))
        return PyDict_SetItem(mapping, PyTuple_GET_ITEM(kwnames, 0), value);
    PyObject *args[] = {mapping, value};
    Ref result = Ref::steal(PyObject_VectorcallMethod(update_name.get(), args,
                                                      1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return result ? 0 : -1;
}

// The time module and its time() as seen at import. While the module's `time` is that module
// and its time() that function, the clock is read directly: time.time() reads the same clock
// and makes the same float from it.
PyObject *standard_time_module = nullptr;
PyObject *standard_time_function = nullptr;

// time.time(): for the time module itself (an exact module, whose attributes are the entries
// of its namespace) the function is read from its namespace, as getattr would read it, and
// the clock read directly while that is still the standard function; anything else is asked
// for its `time` and called.
Ref seconds_now(PyObject *time_module) {
    if (time_module != standard_time_module || !Py_IS_TYPE(time_module, &PyModule_Type))
        return Ref::steal(PyObject_CallMethodNoArgs(time_module, time_name.get()));
    PyObject *found = nullptr;
    int present = PyDict_GetItemRef(PyModule_GetDict(time_module), time_name.get(), &found);
    if (present < 0) return {};
    if (!present) // gone: getattr says so, in its own words
        return Ref::steal(PyObject_CallMethodNoArgs(time_module, time_name.get()));
    Ref function = Ref::steal(found);
    if (function.get() != standard_time_function)
        return Ref::steal(PyObject_CallNoArgs(function.get()));
    PyTime_t now;
    if (PyTime_Time(&now) < 0) return {};
    return Ref::steal(PyFloat_FromDouble(PyTime_AsSecondsDouble(now)));
}

// int(time.time() * 1000), with `time` looked up in the module namespace now.
Ref now_in_milliseconds(Function *self) {
    Ref time_module = lookup_global(self->globals, time_name.get());
    if (!time_module) return {};
    Ref seconds = seconds_now(time_module.get());
    if (!seconds) return {};
    if (PyFloat_CheckExact(seconds.get())) // the product and its truncation, as float's own
        return Ref::steal(PyLong_FromDouble(PyFloat_AS_DOUBLE(seconds.get()) * 1000.0));
    Ref product = Ref::steal(PyNumber_Multiply(seconds.get(), thousand.get()));
    if (!product) return {};
    return Ref::steal(PyNumber_Long(product.get()));
}

// The changes both operations make to the caller's mapping before anything else can fail:
// "saas_sign_timespan" set to the current time unless update_time is false and the mapping
// already holds a true value there, then any "saas_sign" removed.
[[nodiscard]] int stamp(Function *self, PyObject *mapping, PyObject *update_time) {
    int refresh = PyObject_IsTrue(update_time);
    if (refresh < 0) return -1;
    if (!refresh) {
        Ref current = mapping_get(mapping, timespan_key.get());
        if (!current) return -1;
        int present = PyObject_IsTrue(current.get());
        if (present < 0) return -1;
        refresh = !present;
    }
    if (refresh) {
        Ref milliseconds = now_in_milliseconds(self);
        if (!milliseconds) return -1;
        if (mapping_update(mapping, timespan_kwnames.get(), milliseconds.get()) < 0) return -1;
    }
    return mapping_pop(mapping, sign_key.get());
}

// sorted(mapping): its keys, by iteration, in a new list in ascending order.
Ref sorted_keys(PyObject *mapping) {
    Ref keys = Ref::steal(PyDict_CheckExact(mapping) ? PyDict_Keys(mapping)
                                                     : PySequence_List(mapping));
    if (!keys || PyList_Sort(keys.get()) < 0) return {};
    return keys;
}



// Python's order of two str: by code point, a prefix first.
bool str_less(PyObject *a, PyObject *b) noexcept {
    Py_ssize_t length_a = PyUnicode_GET_LENGTH(a), length_b = PyUnicode_GET_LENGTH(b);
    Py_ssize_t common = length_a < length_b ? length_a : length_b;
    int kind_a = PyUnicode_KIND(a), kind_b = PyUnicode_KIND(b);
    const void *data_a = PyUnicode_DATA(a), *data_b = PyUnicode_DATA(b);
    if (kind_a == PyUnicode_1BYTE_KIND && kind_b == PyUnicode_1BYTE_KIND) {
        int order = std::memcmp(data_a, data_b, static_cast<size_t>(common));
        return order != 0 ? order < 0 : length_a < length_b;
    }
    for (Py_ssize_t i = 0; i < common; ++i) {
        Py_UCS4 char_a = PyUnicode_READ(kind_a, data_a, i);
        Py_UCS4 char_b = PyUnicode_READ(kind_b, data_b, i);
        if (char_a != char_b) return char_a < char_b;
    }
    return length_a < length_b;
}

// How many entries on the objects of an entry are fetched into the cache, while entries are
// read in an order that memory does not follow.
constexpr Py_ssize_t fetch_ahead = 8;

// An entry of the caller's dict, borrowed: valid only until Python code next runs. `prefix`
// stands for the key's first 16 characters, so that most comparisons while sorting need not
// read the key's text.
struct Entry {
    PyObject *key;
    PyObject *value;
    unsigned __int128 prefix;
};

// Fetches the key and value of the entry `fetch_ahead` places after entry `i` into the cache.
void fetch_entry_ahead(const Entry *entries, Py_ssize_t i, Py_ssize_t count) {
    if (i + fetch_ahead < count) {
        __builtin_prefetch(entries[i + fetch_ahead].key);
        __builtin_prefetch(entries[i + fetch_ahead].value);
    }
}

// One byte per character of the key's first 16, zero-padded, as a big-endian integer. A
// character above U+00FF is taken as 0xFF and every byte after it as 0xFF too. Such a packing
// never decreases as keys increase, so two keys whose packings differ order as their packings
// do; keys whose packings are equal must be compared in full.
unsigned __int128 key_prefix(PyObject *key) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(key);
    unsigned char bytes[16] = {};
    int kind = PyUnicode_KIND(key);
    const void *data = PyUnicode_DATA(key);
    if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(bytes, data, static_cast<size_t>(n < 16 ? n : 16));
    } else {
        for (Py_ssize_t i = 0; i < n && i < 16; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c > 0xFF) {
                std::memset(bytes + i, 0xFF, static_cast<size_t>(16 - i));
                break;
            }
            bytes[i] = static_cast<unsigned char>(c);
        }
    }
    uint64_t high, low;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
        high = __builtin_bswap64(high);
        low = __builtin_bswap64(low);
    }
    return static_cast<unsigned __int128>(high) << 64 | low;
}

bool entry_less(const Entry &a, const Entry &b) noexcept {
    if (a.prefix != b.prefix) [[likely]]
        return a.prefix < b.prefix;
    return str_less(a.key, b.key);
}

constexpr size_t radix_least = 256; // fewer entries than this are ordered by comparison

// What a radix sort works with besides the entries: as many entries again, and the bucket
// bounds of each pass still open. A pass splits on a byte below those of the passes open
// around it, so at most 16 are open at once; keeping their bounds here rather than on the
// stack keeps the sort's use of the C stack small.
struct RadixSpace {
    static constexpr size_t depth = 16;
    std::unique_ptr<Entry[]> scratch;
    std::unique_ptr<size_t[]> bounds; // 257 per open pass, then 256 for placing entries
};

// Orders entries[0:n) by key with a most-significant-byte-first radix sort on the prefixes,
// `scratch` (in `space`, at the same offset) holding as many entries: each pass splits the
// entries on the first byte in which their prefixes differ, and the parts are ordered in
// turn. Its cost does not hang on how well comparisons are predicted, and keys that share a
// beginning (common in one dict) cost nothing for it. Parts of a few entries, and entries
// whose prefixes are all equal, are ordered by comparison: a radix pass costs 256 steps
// whatever the number of entries. `level` counts the passes open around this one.
void radix_sort_entries(Entry *entries, Entry *scratch, size_t n, RadixSpace &space,
                        size_t level) {
    auto by_key = [](const Entry &a, const Entry &b) { return entry_less(a, b); };
    if (n < radix_least || level >= RadixSpace::depth) {
        std::sort(entries, entries + n, by_key);
        return;
    }
    unsigned __int128 any = 0, every = ~static_cast<unsigned __int128>(0);
    for (size_t i = 0; i < n; ++i) {
        any |= entries[i].prefix;
        every &= entries[i].prefix;
    }
    unsigned __int128 differing = any ^ every;
    if (differing == 0) {
        std::sort(entries, entries + n, by_key);
        return;
    }
    auto high = static_cast<uint64_t>(differing >> 64);
    int leading_zeros = high ? __builtin_clzll(high)
                             : 64 + __builtin_clzll(static_cast<uint64_t>(differing));
    unsigned shift = static_cast<unsigned>(120 - leading_zeros / 8 * 8);
    auto digit = [shift](const Entry &entry) {
        return static_cast<uint8_t>(entry.prefix >> shift);
    };

    size_t *starts = space.bounds.get() + 257 * level;
    size_t *next = space.bounds.get() + 257 * RadixSpace::depth;
    std::fill(starts, starts + 257, size_t{0});
    for (size_t i = 0; i < n; ++i) ++starts[digit(entries[i]) + 1];
    for (size_t d = 1; d <= 256; ++d) starts[d] += starts[d - 1];
    std::copy(starts, starts + 256, next);
    for (size_t i = 0; i < n; ++i) scratch[next[digit(entries[i])]++] = entries[i];
    std::copy(scratch, scratch + n, entries);
    for (size_t d = 0; d < 256; ++d) {
        size_t size = starts[d + 1] - starts[d];
        if (size > 1)
            radix_sort_entries(entries + starts[d], scratch + starts[d], size, space, level + 1);
    }
}

// Puts `entries` in ascending key order.
void sort_entries(Entry *entries, size_t n) {
    RadixSpace space;
    if (n >= radix_least) {
        space.scratch.reset(new (std::nothrow) Entry[n]);
        space.bounds.reset(new (std::nothrow) size_t[257 * RadixSpace::depth + 256]);
    }
    if (space.scratch && space.bounds) {
        radix_sort_entries(entries, space.scratch.get(), n, space, 0);
    } else { // a few entries, or no memory to spare: sorted in place
        std::sort(entries, entries + n,
                  [](const Entry &a, const Entry &b) { return entry_less(a, b); });
    }
}

// The entries of `mapping` (borrowed, see Entry) in ascending key order, when it is an exact
// dict whose keys are all exact str: reading and ordering those runs no Python code, so this
// is what sorting its keys and looking each one up gives. Returns 1 with `entries` and
// `count` filled, 0 when `mapping` is of another kind (the caller takes the general route),
// -1 with an exception set.
[[nodiscard]] int sorted_str_entries(PyObject *mapping, std::unique_ptr<Entry[]> &entries,
                                     Py_ssize_t &count) {
    if (!PyDict_CheckExact(mapping)) return 0;
    count = PyDict_GET_SIZE(mapping);
    entries.reset(new (std::nothrow) Entry[static_cast<size_t>(count)]);
    if (!entries) {
        PyErr_NoMemory();
        return -1;
    }
    // The keys and values first, then each key read while the keys a few places on are
    // fetched into the cache: the keys of a large dict lie all over memory.
    Py_ssize_t position = 0, i = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (i < count && PyDict_Next(mapping, &position, &key, &value)) {
        entries[i].key = key;
        entries[i].value = value;
        ++i;
    }
    count = i;
    for (i = 0; i < count; ++i) {
        if (i + fetch_ahead < count) __builtin_prefetch(entries[i + fetch_ahead].key);
        if (!PyUnicode_CheckExact(entries[i].key)) return 0;
        entries[i].prefix = key_prefix(entries[i].key);
    }
    sort_entries(entries.get(), static_cast<size_t>(count));
    return 1;
}

// isinstance(value, (dict, list)). Values of the common built-in types are answered from
// their type; any other may answer through `__class__`, so it is asked in full.
int is_dict_or_list(PyObject *value) {
    if (PyDict_Check(value) || PyList_CheckExact(value)) return 1;
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyBool_Check(value) || value == Py_None || PyTuple_CheckExact(value))
        return 0;
    return PyObject_IsInstance(value, dict_or_list.get());
}

// Writes format(key, ""): a str key as it is, any other as its __format__ makes it.
[[nodiscard]] int write_key_text(TextBuilder &out, PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        out.str(key);
        return 0;
    }
    Ref text = Ref::steal(PyObject_Format(key, empty_text.get()));
    if (!text) return -1;
    out.str(text.get());
    return 0;
}

// Writes a built-in scalar as format(value, "") would, which for these types runs no Python
// code. Returns 1 when written, 0 when `value` is of another type.
int write_scalar_text(TextBuilder &out, PyObject *value) {
    if (PyUnicode_CheckExact(value)) {
        out.str(value);
    } else if (value == Py_True || value == Py_False || value == Py_None) {
        out.ascii(value == Py_True ? "True" : value == Py_False ? "False" : "None");
    } else if (PyFloat_CheckExact(value)) {
        write_float_repr(out, PyFloat_AS_DOUBLE(value));
    } else if (PyLong_CheckExact(value)) {
        // Long digit strings, and the digit limit, are format()'s.
        return write_small_int(out, value) ? 1 : 0;
    } else {
        return 0;
    }
    return 1;
}

// Whether `value` is a float, bool, None or an int that fits in 64 bits: what
// write_scalar_text writes besides a str, without fail.
bool is_plain_scalar(PyObject *value) {
    if (PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None) return true;
    if (!PyLong_CheckExact(value)) return false;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(value))) return true;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow); // cannot fail for an exact int
    return !overflow;
}

// Writes the value's text: format(value, ""), after a dict or list value has been replaced
// by instance._json_dumps(value).
[[nodiscard]] int write_value_text(Function *self, PyObject *instance, TextBuilder &out,
                                   PyObject *value) {
    if (write_scalar_text(out, value)) return 0;
    int structured = is_dict_or_list(value);
    if (structured < 0) return -1;
    Ref shown;
    if (structured) {
        Ref dumps = Ref::steal(PyObject_GetAttr(instance, json_dumps_name.get()));
        if (!dumps) return -1;
        if (dumps.get() == json_dumps_operation) {
            // The class's own operation: its text goes straight into the signed text.
            bool written = false;
            shown = json_dumps_into(self->globals, value, out, written);
            if (written) return 0;
        } else {
            shown = Ref::steal(PyObject_CallOneArg(dumps.get(), value));
        }
    } else {
        shown = Ref::borrow(value);
    }
    if (!shown) return -1;
    Ref text = Ref::steal(PyObject_Format(shown.get(), empty_text.get()));
    if (!text) return -1;
    out.str(text.get());
    return 0;
}

// Writes "key=value" for one entry; a failure adds the generator-expression entry
// `genexpr_name` to the traceback, as forming the piece in Python would.
[[nodiscard]] int write_piece(Function *self, PyObject *instance, TextBuilder &out,
                              PyObject *key, PyObject *value, const char *genexpr_name) {
    if (write_key_text(out, key) < 0) {
        add_traceback(genexpr_name, GLIMET_SOURCE, __LINE__, self->globals);
        return -1;
    }
    out.character('=');
    if (write_value_text(self, instance, out, value) < 0) {
        add_traceback(genexpr_name, GLIMET_SOURCE, __LINE__, self->globals);
        return -1;
    }
    return 0;
}

// The pieces of a body's sorted copy joined by "&", written straight from its `entries` (exact
// str keys, in order) when every value is a str, a float, bool, None or 64-bit int, or a tuple
// of plain values: for those, format(value, "") runs no Python code and _json_dumps is not
// asked. Returns false, with `out` as it was, for any other value; the caller then forms the
// pieces one by one.
bool write_plain_pieces(const Entry *entries, Py_ssize_t count, TextBuilder &out) {
    TextBuilder::Mark start = out.mark();
    for (Py_ssize_t i = 0; i < count; ++i) {
        fetch_entry_ahead(entries, i, count);
        if (i > 0) out.character('&');
        out.str(entries[i].key);
        out.character('=');
        PyObject *value = entries[i].value;
        if (write_scalar_text(out, value)) continue;
        if (PyTuple_CheckExact(value) && write_plain_repr(out, value)) continue;
        out.rewind(start);
        return false;
    }
    return true;
}

// Appends the signing constant for `env`: the production one when env == "prod", else the
// default.
[[nodiscard]] int write_salt_value(TextBuilder &out, PyObject *env) {
    int production = 0;
    if (PyUnicode_CheckExact(env)) {
        production = PyUnicode_EqualToUTF8(env, "prod");
    } else {
        Ref equal = Ref::steal(PyObject_RichCompare(env, prod_text.get(), Py_EQ));
        if (!equal) return -1;
        production = PyObject_IsTrue(equal.get());
        if (production < 0) return -1;
    }
    if (production) production_salt.decode_into(out);
    else default_salt.decode_into(out);
    return 0;
}

// Whether `text` holds `word` just before position `end`.
bool holds_before(const Py_UCS4 *text, size_t end, std::string_view word) {
    if (end < word.size()) return false;
    const Py_UCS4 *at = text + (end - word.size());
    for (size_t i = 0; i < word.size(); ++i)
        if (at[i] != static_cast<unsigned char>(word[i])) return false;
    return true;
}

// The positions among the 16 characters at `text` that hold "&" or a quote, one bit each.
unsigned marks_in_block(const Py_UCS4 *text) {
#ifdef __SSE2__
    const __m128i ampersand = _mm_set1_epi32('&'), quote = _mm_set1_epi32('"');
    __m128i found[4];
    for (int k = 0; k < 4; ++k) {
        __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 4 * k));
        found[k] = _mm_or_si128(_mm_cmpeq_epi32(chars, ampersand), _mm_cmpeq_epi32(chars, quote));
    }
    // All-ones or zero lanes narrow to one byte each, in order; one bit per byte then.
    __m128i low = _mm_packs_epi32(found[0], found[1]), high = _mm_packs_epi32(found[2], found[3]);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
#else
    unsigned marks = 0;
    for (int k = 0; k < 16; ++k) marks |= unsigned{text[k] == '&' || text[k] == '"'} << k;
    return marks;
#endif
}

// Lowercases the word at `at`; "None" becomes "null", the others keep their letters.
void make_json_word(Py_UCS4 *word) {
    if (word[0] == 'N') {
        word[1] = 'u';
        word[2] = 'l';
        word[3] = 'l';
    }
    word[0] += 'a' - 'A';
}

// Rewrites Python's words for True, False and None into JSON's, in place, as the replacements
// "True&" -> "true&", "False&" -> "false&", "None&" -> "null&" and then, with `quoted`,
// "\"True\"" -> "\"true\"" and the like would, each over the whole text in turn.
// Every replacement keeps the length and cannot make or break a match of another word, so
// the passes are independent and one scan does them all. Matches are found at the character
// that ends them: "&" ends at most one of the first three, which cannot overlap; a quoted word
// may share its closing quote with the next match of the same word, which str.replace would
// not take, so each quoted word remembers where its last match ended.
void rewrite_literal_words(TextBuilder &out, bool quoted) {
    static constexpr std::string_view words[] = {"True", "False", "None"};
    Py_UCS4 *text = out.data();
    size_t length = out.length();
    size_t quoted_free_from[3] = {0, 0, 0};
    constexpr size_t block = 16;
    for (size_t start = 0; start < length; start += block) {
        // Only "&" and quotes end a match; whole blocks are searched for them at once, and
        // the characters between them are not looked at.
        unsigned marks = 0;
        if (length - start >= block) {
            marks = marks_in_block(text + start);
        } else {
            for (size_t k = 0; start + k < length; ++k)
                marks |= unsigned{text[start + k] == '&' || text[start + k] == '"'} << k;
        }
        for (; marks; marks &= marks - 1) {
            size_t i = start + static_cast<size_t>(__builtin_ctz(marks));
            if (i == 0 || text[i - 1] != 'e') continue; // every word ends in "e"
            if (text[i] == '&') {
                for (std::string_view word : words) {
                    if (holds_before(text, i, word)) {
                        make_json_word(text + i - word.size());
                        break;
                    }
                }
            } else if (quoted) {
                for (size_t w = 0; w < 3; ++w) {
                    size_t size = words[w].size();
                    if (i < size + 1) continue;
                    size_t opening = i - size - 1;
                    if (opening < quoted_free_from[w] || text[opening] != '"' ||
                        !holds_before(text, i, words[w]))
                        continue;
                    make_json_word(text + opening + 1);
                    quoted_free_from[w] = i + 1;
                    break;
                }
            }
        }
    }
}

// The signed text once its pieces are in `out`: the constant `env` selects appended (the
// pieces are formed before `env` is compared), then the literal words rewritten; `quoted`
// adds the rewrite of the quoted words, which the parameter signer's values need. The text
// is made holding its UTF-8, which hashing it and printing it both read.
Ref finish_signed_text(TextBuilder &out, PyObject *env, bool quoted) {
    if (write_salt_value(out, env) < 0) return {};
    rewrite_literal_words(out, quoted);
    return out.finish_with_utf8();
}

// The signed text of `entries`, a dict only this call holds: "&".join of its pieces, then
// finished as above.
Ref signed_text(Function *self, PyObject *instance, PyObject *entries, PyObject *env,
                bool quoted, const char *genexpr_name) {
    TextBuilder out;
    // Iterated as entries.items() is: user code run by a piece may change the dict, which the
    // iterator then reports as Python code would see it.
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(entries, items_name.get()));
    if (!items) return {};
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return {};
    bool first = true;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!first) out.character('&');
        first = false;
        // The (key, value) pair holds both while user code runs in __format__ or _json_dumps.
        if (write_piece(self, instance, out, PyTuple_GET_ITEM(item.get(), 0),
                        PyTuple_GET_ITEM(item.get(), 1), genexpr_name) < 0)
            return {};
    }
    if (PyErr_Occurred()) {
        add_traceback(genexpr_name, GLIMET_SOURCE, __LINE__, self->globals);
        return {};
    }
    return finish_signed_text(out, env, quoted);
}

// json.dumps([text], ensure_ascii=False) with the `dumps` just read from the module's `json`.
Ref json_array(PyObject *dumps, PyObject *text) {
    Ref array = Ref::steal(PyList_New(1));
    if (!array) return {};
    PyList_SET_ITEM(array.get(), 0, Py_NewRef(text));
    PyObject *call_args[] = {array.get(), Py_False};
    return Ref::steal(PyObject_Vectorcall(dumps, call_args, 1, ensure_ascii_kwnames.get()));
}

// One parameter on its way into the signed text: its key, and either the text of its value
// still to be written as a one-element JSON array (while the standard encoder is in place,
// that array is written directly) or the array text the module's `json` made.
struct Parameter {
    Ref key;
    Ref text; // a str, or a scalar whose str() is written when the text is
    Ref array;
    Ref read_value; // the value read with the key, used while no Python code has run
};

// Writes json.dumps([text])'s string for a parameter's `text`: a str escaped; a deferred
// scalar as its str(), which holds nothing JSON escapes.
void write_parameter_text(TextBuilder &out, PyObject *text) {
    if (PyUnicode_Check(text)) {
        write_json_string(out, text);
        return;
    }
    out.character('"');
    write_scalar_text(out, text);
    out.character('"');
}

// The value of `params[key]` as the signed text holds it: json.dumps([text]) where text is
// str(value), with `json` looked up now. Fills `text` or `array` of `parameter`.
// `known_standard` carries over from the previous parameter: it says the standard encoder was
// found in place and no Python code has run in this call, so looking again would find the
// same. Once a value's str() may have run Python code (which could rebind `json`, or plant a
// key whose __eq__ runs when the dict is read), every later parameter looks again.
// `read_value`, when given, is the value read with the key before any Python code ran; it is
// used as long as none has.
[[nodiscard]] int read_parameter(Function *self, PyObject *params, Parameter &parameter,
                                 PyObject *read_value, bool &known_standard, bool &ran_python) {
    Ref value = read_value && !ran_python
                    ? Ref::borrow(read_value)
                    : Ref::steal(PyObject_GetItem(params, parameter.key.get()));
    if (!value) return -1;
    // str(value); for a float, bool, None or small int it cannot fail and runs no code, so
    // it is left to be written with the text. Containers of plain values are written here,
    // as their str() would write them; anything else is the interpreter's to render, and
    // may run Python code.
    bool deferred = is_plain_scalar(value.get());
    Ref text;
    if (deferred || PyUnicode_CheckExact(value.get())) {
        text = std::move(value);
    } else {
        TextBuilder shown;
        if ((PyList_CheckExact(value.get()) || PyDict_CheckExact(value.get()) ||
             PyTuple_CheckExact(value.get())) &&
            write_plain_repr(shown, value.get())) {
            text = shown.finish();
        } else {
            ran_python = true;
            text = Ref::steal(PyObject_Str(value.get()));
        }
    }
    if (!text) return -1;
    if (ran_python) known_standard = false;
    if (known_standard) {
        parameter.text = std::move(text);
        return 0;
    }
    // Looking `json` up may run a planted key's __eq__, unless the namespace holds only str
    // keys; values read before then are read again.
    if (!json_fast_path_open(self->globals)) ran_python = true;
    Ref json = lookup_global(self->globals, json_name.get());
    if (!json) return -1;
    if (json_is_standard(json.get())) {
        known_standard = !ran_python;
        parameter.text = std::move(text);
        return 0;
    }
    known_standard = false;
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), dumps_name.get()));
    if (!dumps) return -1;
    if (deferred && !(text = Ref::steal(PyObject_Str(text.get())))) return -1;
    if (!(parameter.array = json_array(dumps.get(), text.get()))) return -1;
    return 0;
}

// The parameters' signed text: every key of `params` in ascending order with its value as a
// one-element JSON array, the constant `env` selects, and both rewrites of the literal words.
// `entries` are those of `params`, an exact dict with str keys, in ascending key order, read
// with no Python code run since.
Ref parameters_text(Function *self, PyObject *instance, PyObject *params, const Entry *entries,
                    Py_ssize_t count, PyObject *env) {
    const char *genexpr_name = "tervix_main.TERVIXWorkMain._tervix_saas_sign_params.genexpr";
    std::unique_ptr<Parameter[]> parameters(new (std::nothrow) Parameter[static_cast<size_t>(count)]);
    if (!parameters) {
        PyErr_NoMemory();
        return {};
    }

    // The entries are held before any Python code runs, which could drop them from `params`.
    for (Py_ssize_t i = 0; i < count; ++i) {
        parameters[i].key = Ref::borrow(entries[i].key);
        parameters[i].read_value = Ref::borrow(entries[i].value);
    }

    // Every value is read before any piece is formed, as the pieces are formed from the
    // finished dict of arrays.
    bool known_standard = false, ran_python = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Parameter &parameter = parameters[i];
        if (read_parameter(self, params, parameter, parameter.read_value.get(), known_standard,
                           ran_python) < 0)
            return {};
        parameter.read_value = Ref(); // dropped as it would be once read
    }

    // The pieces, joined by "&".
    TextBuilder out;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Parameter &parameter = parameters[i];
        if (i > 0) out.character('&');
        if (parameter.array) {
            if (write_piece(self, instance, out, parameter.key.get(), parameter.array.get(),
                            genexpr_name) < 0)
                return {};
            continue;
        }
        out.str(parameter.key.get()); // an exact str: it formats as itself
        out.ascii("=[");
        write_parameter_text(out, parameter.text.get());
        out.character(']');
    }
    return finish_signed_text(out, env, true);
}

// Whether the module's `json` is now the standard module with its encoder untouched, found
// without running Python code: only while the namespace holds only str keys (a key of another
// type could run its __eq__ on the lookup, at a point the general route would not). Anything
// else answers false, and the general route does the lookups in their own order.
bool json_standard_now(Function *self) {
    if (!json_fast_path_open(self->globals)) return false;
    PyObject *json = nullptr;
    int found = PyDict_GetItemRef(self->globals, json_name.get(), &json);
    if (found <= 0) { // not bound in the namespace: the general route looks further, and reports
        PyErr_Clear();
        return false;
    }
    Ref held = Ref::steal(json);
    return json_is_standard(json);
}

// The parameters' pieces written in one pass, when the module's `json` was found to be the
// standard module just before `entries` were read and every value is a str, a float, bool,
// None or 64-bit int, or a list, tuple or dict of plain values: reading and writing those runs
// no Python code, so this is what reading every value first and then forming the pieces
// gives. `entries` are as for parameters_text. Returns false, with `out` as it was, when that
// is not so; the caller then takes the general route from the start.
bool write_plain_parameters(const Entry *entries, Py_ssize_t count, TextBuilder &out) {
    TextBuilder::Mark start = out.mark();
    for (Py_ssize_t i = 0; i < count; ++i) {
        fetch_entry_ahead(entries, i, count);
        PyObject *value = entries[i].value;
        if (i > 0) out.character('&');
        out.str(entries[i].key); // an exact str: it formats as itself
        out.ascii("=[");
        if (PyUnicode_CheckExact(value)) {
            write_json_string(out, value);
        } else if (is_plain_scalar(value)) {
            out.character('"');
            write_scalar_text(out, value); // holds nothing JSON escapes
            out.character('"');
        } else if (!((PyList_CheckExact(value) || PyDict_CheckExact(value) ||
                      PyTuple_CheckExact(value)) &&
                     write_plain_repr_json_string(out, value))) {
            out.rewind(start);
            return false;
        }
        out.character(']');
    }
    return true;
}

// The parameters' signed text for any mapping: data = {key: json.dumps([str(params[key])])
// for key in keys}, then its pieces as for a body, and both rewrites of the literal words.
Ref general_parameters_text(Function *self, PyObject *instance, PyObject *params,
                            PyObject *keys, PyObject *env) {
    Ref data = Ref::steal(PyDict_New());
    if (!data) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
        Parameter parameter;
        parameter.key = Ref::borrow(PyList_GET_ITEM(keys, i));
        bool known_standard = false, ran_python = true; // any mapping may run Python code
        if (read_parameter(self, params, parameter, nullptr, known_standard, ran_python) < 0)
            return {};
        if (parameter.text) { // the standard encoder's text, made here as it would make it
            TextBuilder array;
            array.character('[');
            write_parameter_text(array, parameter.text.get());
            array.character(']');
            parameter.array = array.finish();
            if (!parameter.array) return {};
        }
        if (PyDict_SetItem(data.get(), parameter.key.get(), parameter.array.get()) < 0) return {};
    }
    return signed_text(self, instance, data.get(), env, true,
                       "tervix_main.TERVIXWorkMain._tervix_saas_sign_params.genexpr");
}

// m_crypt.sha256(params_str, "upper"), with `m_crypt` looked up in the module namespace now.
// The real m_crypt's type is immutable and its instances hold nothing, so for it the method is
// always glimet_crypt's own, which is then called without the method call's machinery.
Ref signature(Function *self, PyObject *params_str) {
    Ref m_crypt = lookup_global(self->globals, m_crypt_name.get());
    if (!m_crypt) return {};
    if (crypt_api && Py_IS_TYPE(m_crypt.get(), crypt_api->type))
        return Ref::steal(crypt_api->sha256(m_crypt.get(), params_str, true));
    PyObject *args[] = {m_crypt.get(), params_str, upper_text.get()};
    return Ref::steal(PyObject_VectorcallMethod(sha256_name.get(), args,
                                                3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self._tervix_saas_sign(data, env, update_time): a sorted copy of `data` with the signature
// added last. `data` itself gets the timestamp and loses "saas_sign", nothing more.
PyObject *saas_sign(Function *self, PyObject *const *args) {
    // Held across every call into Python code below.
    Ref instance = Ref::borrow(args[0]);
    Ref source = Ref::borrow(args[1]);
    Ref env = Ref::borrow(args[2]);

    // The caller's body, stamped.
    if (stamp(self, source.get(), args[3]) < 0) return nullptr;

    // The sorted copy: {key: source[key] for key in sorted(source)}, made at the size it
    // reaches with the signature added.
    Ref data = Ref::steal(_PyDict_NewPresized(PyDict_Check(source.get())
                                                  ? PyDict_GET_SIZE(source.get()) + 1
                                                  : 0));
    if (!data) return nullptr;
    std::unique_ptr<Entry[]> entries;
    Py_ssize_t count = 0;
    int plain = sorted_str_entries(source.get(), entries, count);
    if (plain < 0) return nullptr;
    if (plain) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            fetch_entry_ahead(entries.get(), i, count);
            if (PyDict_SetItem(data.get(), entries[i].key, entries[i].value) < 0)
                return nullptr;
        }
    } else {
        Ref keys = sorted_keys(source.get());
        if (!keys) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
            Ref value = Ref::steal(PyObject_GetItem(source.get(), key.get()));
            if (!value || PyDict_SetItem(data.get(), key.get(), value.get()) < 0) return nullptr;
        }
    }

    // The signed text, from the copy: straight from the entries when every value is written
    // without running Python code, else piece by piece.
    Ref params_str;
    TextBuilder out;
    if (plain && write_plain_pieces(entries.get(), count, out))
        params_str = finish_signed_text(out, env.get(), false);
    else
        params_str = signed_text(self, instance.get(), data.get(), env.get(), false,
                                 "tervix_main.TERVIXWorkMain._tervix_saas_sign.genexpr");
    if (!params_str) return nullptr;

    // The signature, stored in the copy only; "saas_sign" was popped before copying, so it
    // comes last. The copy is an exact dict of ours, so storing is what its update would do.
    Ref signature_value = signature(self, params_str.get());
    if (!signature_value || PyDict_SetItem(data.get(), sign_key.get(), signature_value.get()) < 0)
        return nullptr;
    return data.release();
}

// self._tervix_saas_sign_params(params, env, update_time): `params` itself, stamped and
// signed, after the signed text has been printed.
PyObject *saas_sign_params(Function *self, PyObject *const *args) {
    // Held across every call into Python code below.
    Ref instance = Ref::borrow(args[0]);
    Ref params = Ref::borrow(args[1]);
    Ref env = Ref::borrow(args[2]);

    // The caller's parameters, stamped.
    if (stamp(self, params.get(), args[3]) < 0) return nullptr;

    // The signed text. With an exact dict and str keys, each key is distinct and every piece
    // is made from a key and its value alone, so the pieces are made from the entries in order.
    bool standard_json = PyDict_CheckExact(params.get()) && json_standard_now(self);
    std::unique_ptr<Entry[]> entries;
    Py_ssize_t count = 0;
    int plain = sorted_str_entries(params.get(), entries, count);
    if (plain < 0) return nullptr;
    Ref params_str;
    if (plain) {
        TextBuilder out;
        if (standard_json && write_plain_parameters(entries.get(), count, out))
            params_str = finish_signed_text(out, env.get(), true);
        else
            params_str = parameters_text(self, instance.get(), params.get(), entries.get(),
                                         count, env.get());
    } else {
        Ref keys = sorted_keys(params.get());
        if (!keys) return nullptr;
        params_str = general_parameters_text(self, instance.get(), params.get(), keys.get(),
                                             env.get());
    }
    if (!params_str) return nullptr;

    // The printed line: one call of the built-in print.
    Ref print = lookup_builtin(print_name.get());
    if (!print) return nullptr;
    Ref printed = Ref::steal(PyObject_CallOneArg(print.get(), params_str.get()));
    if (!printed) return nullptr;

    // The signature, stored in the caller's mapping, which is the result.
    Ref signature_value = signature(self, params_str.get());
    if (!signature_value ||
        mapping_update(params.get(), sign_kwnames.get(), signature_value.get()) < 0)
        return nullptr;
    return params.release();
}

} // namespace

int signing_init() {
    // Without glimet_crypt's capsule, m_crypt.sha256 is called as any other method would be.
    crypt_api = static_cast<const CryptApi *>(PyCapsule_Import("glimet_crypt._api", 0));
    if (!crypt_api) PyErr_Clear();
    if (prepare() < 0) return -1;

    // The standard clock, kept for the process like the module that holds it; a time module
    // not as expected (patched before this import) leaves the direct reading off.
    if (!standard_time_module) {
        Ref time_module = Ref::steal(PyImport_ImportModule("time"));
        if (!time_module) return -1;
        Ref function = Ref::steal(PyObject_GetAttr(time_module.get(), time_name.get()));
        if (!function) return -1;
        // time.time itself: the module's built-in function of that name.
        if (PyCFunction_Check(function.get()) &&
            PyCFunction_GetSelf(function.get()) == time_module.get() &&
            std::strcmp(reinterpret_cast<PyCFunctionObject *>(function.get())->m_ml->ml_name,
                        "time") == 0) {
            standard_time_module = time_module.release();
            standard_time_function = function.release();
        }
    }
    return 0;
}

const OperationSpec saas_sign_spec = {
    "_tervix_saas_sign",
    "TERVIXWorkMain._tervix_saas_sign",
    "tervix_main.TERVIXWorkMain._tervix_saas_sign",
    "TERVIXWorkMain._tervix_saas_sign(self, data, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到数据中。\n"
    "\n"
    ":param data: 需要签名的数据，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的数据字典",
    "(self, data, env='', update_time=True)",
    {"self", "data", "env", "update_time"},
    4,
    2,
    saas_sign,
    GLIMET_SOURCE,
    __LINE__,
};

const OperationSpec saas_sign_params_spec = {
    "_tervix_saas_sign_params",
    "TERVIXWorkMain._tervix_saas_sign_params",
    "tervix_main.TERVIXWorkMain._tervix_saas_sign_params",
    "TERVIXWorkMain._tervix_saas_sign_params(self, params, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到参数中。\n"
    "\n"
    ":param params: 需要签名的参数，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的参数字典",
    "(self, params, env='', update_time=True)",
    {"self", "params", "env", "update_time"},
    4,
    2,
    saas_sign_params,
    GLIMET_SOURCE,
    __LINE__,
};

} // namespace glimet::tervix
