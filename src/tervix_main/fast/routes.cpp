// The fast routes of the toolkit's operations (see routes.hpp for their contract).
#include "tervix_main/fast/routes.hpp"

#include "kernels/int_text.hpp"
#include "support/characters.hpp"
#include "tervix_main/fast/budget.hpp"
#include "tervix_main/fast/compact_json.hpp"
#include "tervix_main/fast/fetch_ahead.hpp"
#include "tervix_main/fast/guards.hpp"
#include "tervix_main/fast/key_order.hpp"
#include "tervix_main/fast/plain_text.hpp"
#include "tervix_main/fast/scalar_text.hpp"

#include <algorithm>
#include <memory>
#include <new>

namespace glimet::tervix::fast {
namespace {

// An entry of a dict whose keys are all exact str, borrowed: valid while no Python code runs.
// `prefix` stands for the key's first 16 characters (key_order.hpp).
struct Entry {
    PyObject *key;
    PyObject *value;
    unsigned __int128 prefix;
};

KeyText key_text(PyObject *key) {
    return {PyUnicode_DATA(key), static_cast<size_t>(PyUnicode_GET_LENGTH(key)),
            PyUnicode_KIND(key)};
}

// The entries of a dict, held on the stack for a small one.
class Entries {
  public:
    // Room for `count` entries; false without memory.
    bool reserve(Py_ssize_t count) {
        if (count > static_cast<Py_ssize_t>(std::size(local_))) {
            heap_.reset(new (std::nothrow) Entry[static_cast<size_t>(count)]);
            if (!heap_) return false;
        }
        return true;
    }
    Entry *get() noexcept { return heap_ ? heap_.get() : local_; }
    Entry &operator[](Py_ssize_t i) noexcept { return get()[i]; }

  private:
    Entry local_[16];
    std::unique_ptr<Entry[]> heap_;
};

// The entries of `mapping` in ascending key order, when it is an exact dict whose keys are all
// exact str: reading and ordering those runs no Python code, so this is what sorting its keys
// and looking each one up gives. Declined for any other mapping, or without memory.
Route sorted_entries(PyObject *mapping, Entries &entries, Py_ssize_t &count) {
    if (!PyDict_CheckExact(mapping)) return Route::declined;
    count = PyDict_GET_SIZE(mapping);
    if (!entries.reserve(count)) return Route::declined;
    // The keys and values first, then each key read while the keys a few places on are
    // fetched into the cache: the keys of a large dict lie all over memory.
    Py_ssize_t position = 0, i = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (i < count && PyDict_Next(mapping, &position, &key, &value))
        entries[i++] = {key, value, 0};
    count = i;
    for (i = 0; i < count; ++i) {
        if (i + fetch_ahead < count) prefetch(entries[i + fetch_ahead].key);
        if (!PyUnicode_CheckExact(entries[i].key)) return Route::declined;
        entries[i].prefix = key_prefix(key_text(entries[i].key));
    }
    order_by_key(entries.get(), static_cast<size_t>(count),
                 [](const Entry &entry) { return key_text(entry.key); });
    return Route::written;
}

// Fetches the key and value of the entry `fetch_ahead` places after entry `i` into the cache.
void fetch_entry_ahead(const Entry *entries, Py_ssize_t i, Py_ssize_t count) {
    if (i + fetch_ahead < count) {
        prefetch(entries[i + fetch_ahead].key);
        prefetch(entries[i + fetch_ahead].value);
    }
}

// A body value's text: format(value, ""), after a dict or list value has been replaced by
// instance._json_dumps(value), whose work is known when `json_known` says the class's own
// operation would be found and the standard encoder used (worked out at the first such value).
enum class Known { unasked, yes, no };

Route write_value_text(TextBuilder &out, PyObject *value, PyObject *instance, PyObject *globals,
                       Known &json_known) {
    if (write_scalar_text(out, value) == Route::written) return Route::written;
    if (PyTuple_CheckExact(value)) return write_plain_repr(out, value);
    if (!PyDict_CheckExact(value) && !PyList_CheckExact(value)) return Route::declined;
    if (json_known == Known::unasked)
        json_known =
            own_json_dumps(instance) && standard_json_bound(globals) ? Known::yes : Known::no;
    if (json_known == Known::no) return Route::declined;
    Ref text;
    if (write_json(text, value) == Route::declined) return Route::declined;
    out.str(text.get());
    return Route::written;
}

// A piece of a body's signed text, "key=value" as write_piece (routes.hpp) writes it, after
// "&" unless it is the first; `json_known` carries over from one piece to the next while no
// Python code runs. The key, and a str or scalar value's text, go straight into the text.
Route write_piece(TextBuilder &out, PyObject *key, PyObject *value, PyObject *instance,
                  PyObject *globals, Known &json_known, bool first) {
    if (!PyUnicode_CheckExact(key)) return Route::declined;
    TextBuilder::Mark start = out.mark(); // before the key widens the text, if it does
    // Without memory for them, what the value is still decides whether the route declines.
    bool text = PyUnicode_CheckExact(value); // a str formats as itself, as a str key does
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(key);
    auto room = static_cast<size_t>(PyUnicode_GET_LENGTH(key)) + 2;
    if (text) {
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(value));
        room += static_cast<size_t>(PyUnicode_GET_LENGTH(value));
    } else {
        room += scalar_room;
    }
    bool whole = false;
    if (out.hold(widest) && out.reserve(room)) {
        out.append([&](auto *at) {
            if (!first) *at++ = '&';
            at = copy_characters(key, at);
            *at++ = '=';
            auto *end = text ? copy_characters(value, at) : write_scalar_at(at, value);
            whole = end;
            return whole ? end : at;
        });
    }
    if (whole || write_value_text(out, value, instance, globals, json_known) == Route::written)
        return Route::written;
    out.rewind(start);
    return Route::declined;
}

// What follows the "[" of a parameter's value in the signed text: the JSON string of its
// text, and "]".
Route write_array_rest(TextBuilder &out, PyObject *value) {
    if (PyUnicode_CheckExact(value)) return write_json_string(out, value, ']');
    if (PyList_CheckExact(value) || PyDict_CheckExact(value) || PyTuple_CheckExact(value)) {
        // str() of the container, then escaped as json.dumps escapes it.
        TextBuilder shown;
        if (write_plain_repr(shown, value) == Route::declined) return Route::declined;
        Ref shown_text = shown.finish();
        if (!shown_text) {
            PyErr_Clear();
            return Route::declined;
        }
        return write_json_string(out, shown_text.get(), ']');
    }
    // str() of a scalar holds nothing JSON escapes.
    out.character('"');
    if (write_scalar_text(out, value) == Route::declined) return Route::declined;
    out.ascii("\"]");
    return Route::written;
}

// A parameter's piece, "key=" and the value's array, after "&" unless it is the first. The key
// and the array's opening, and the whole array of a scalar, go straight into the text.
Route write_parameter_piece(TextBuilder &out, PyObject *key, PyObject *value, bool first) {
    // Without memory for them, what the value is still decides whether the route declines.
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
    if (!out.hold(PyUnicode_MAX_CHAR_VALUE(key)) || !out.reserve(n + 6 + scalar_room))
        return write_array_rest(out, value);
    bool whole = false;
    out.append([&](auto *at) {
        if (!first) *at++ = '&';
        at = copy_characters(key, at); // a str key formats as itself
        *at++ = '=';
        *at++ = '[';
        // str() of a scalar holds nothing JSON escapes.
        auto *end = write_scalar_at(at + 1, value);
        if (!end) return at;
        *at = '"';
        end[0] = '"';
        end[1] = ']';
        whole = true;
        return end + 2;
    });
    return whole ? Route::written : write_array_rest(out, value);
}

} // namespace

int init(PyObject *module, PyObject *cls) { return keep_own_objects(module, cls); }

Route write_compact_json(Ref &text, PyObject *json, PyObject *value) {
    if (!standard_json(json)) return Route::declined;
    return write_json(text, value);
}

Route copy_sorted(PyObject *data, PyObject *source) {
    Entries entries;
    Py_ssize_t count = 0;
    if (sorted_entries(source, entries, count) == Route::declined) return Route::declined;
    for (Py_ssize_t i = 0; i < count; ++i) {
        fetch_entry_ahead(entries.get(), i, count);
        // Storing an exact str key runs no Python code; failing, it only lacked memory.
        if (PyDict_SetItem(data, entries[i].key, entries[i].value) < 0) {
            PyErr_Clear();
            PyDict_Clear(data);
            return Route::declined;
        }
    }
    return Route::written;
}

Route write_pieces(TextBuilder &out, PyObject *data, PyObject *instance, PyObject *globals) {
    TextBuilder::Mark start = out.mark();
    Known json_known = Known::unasked;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(data, &position, &key, &value)) {
        if (write_piece(out, key, value, instance, globals, json_known, first) ==
            Route::declined) {
            out.rewind(start);
            return Route::declined;
        }
        first = false;
    }
    return Route::written;
}

Route write_piece(TextBuilder &out, PyObject *key, PyObject *value, PyObject *instance,
                  PyObject *globals) {
    Known json_known = Known::unasked;
    return write_piece(out, key, value, instance, globals, json_known, true);
}

Route write_parameter_pieces(TextBuilder &out, PyObject *params, PyObject *globals) {
    // Every value's text goes through json.dumps([text], ensure_ascii=False), which takes
    // its frames and levels, and one level for the list.
    if (!PyDict_CheckExact(params) || !standard_json_bound(globals) ||
        !room_for_frames(json_dumps_frames) || container_room(json_dumps_levels) < 1)
        return Route::declined;
    Entries entries;
    Py_ssize_t count = 0;
    if (sorted_entries(params, entries, count) == Route::declined) return Route::declined;
    TextBuilder::Mark start = out.mark();
    for (Py_ssize_t i = 0; i < count; ++i) {
        fetch_entry_ahead(entries.get(), i, count);
        if (write_parameter_piece(out, entries[i].key, entries[i].value, i == 0) ==
            Route::declined) {
            out.rewind(start);
            return Route::declined;
        }
    }
    return Route::written;
}

Route parameter_array(Ref &array, PyObject *value, PyObject *globals) {
    // As json.dumps takes its frames and levels, and one level for the list.
    if (!standard_json_bound(globals) || !room_for_frames(json_dumps_frames) ||
        container_room(json_dumps_levels) < 1)
        return Route::declined;
    TextBuilder out;
    out.character('[');
    if (write_array_rest(out, value) == Route::declined) return Route::declined;
    array = out.finish();
    if (array) return Route::written;
    PyErr_Clear(); // no memory: the general route meets that again
    return Route::declined;
}

Route milliseconds_now(Ref &milliseconds, PyObject *time_function) {
    // time.time() reads this clock and makes this float of it; the product and its
    // truncation are float's own.
    PyTime_t now;
    if (!standard_clock(time_function) || PyTime_Time(&now) < 0) {
        PyErr_Clear();
        return Route::declined;
    }
    milliseconds = Ref::steal(PyLong_FromDouble(PyTime_AsSecondsDouble(now) * 1000.0));
    if (milliseconds) return Route::written;
    PyErr_Clear();
    return Route::declined;
}

Route notice_line(Ref &text, PyObject *line, Py_ssize_t num) {
    if (!PyUnicode_CheckExact(line)) return Route::declined;
    // The number and "、": ASCII digits, then U+3001.
    char digits[kernels::int_text_room];
    auto digit_count = static_cast<size_t>(kernels::int_text(int64_t{num}, digits) - digits);
    return with_characters(line, [&](const auto *chars, Py_ssize_t length) {
        // The title: trimmed as str.strip() trims, cut before the first "】http", its first
        // "【" left out.
        Py_ssize_t start = 0, end = length;
        while (start < end && Py_UNICODE_ISSPACE(chars[start])) ++start;
        while (end > start && Py_UNICODE_ISSPACE(chars[end - 1])) --end;
        const Py_UCS4 marker[] = {0x3011, 'h', 't', 't', 'p'};
        for (Py_ssize_t i = start; i + 5 <= end; ++i) {
            if (chars[i] == marker[0] && chars[i + 1] == marker[1] && chars[i + 2] == marker[2] &&
                chars[i + 3] == marker[3] && chars[i + 4] == marker[4]) {
                end = i;
                break;
            }
        }
        Py_ssize_t bracket = end;
        for (Py_ssize_t i = start; i < end && bracket == end; ++i)
            if (chars[i] == 0x3010) bracket = i;
        // The widest character decides the kind; U+3001 needs two bytes at least.
        Py_UCS4 widest = 0x3001;
        for (Py_ssize_t i = start; i < end; ++i)
            if (chars[i] > widest) widest = chars[i];
        Py_ssize_t title = end - start - (bracket < end);
        text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(digit_count) + 1 + title, widest));
        if (!text) {
            PyErr_Clear();
            return Route::declined;
        }
        int kind = PyUnicode_KIND(text.get());
        void *data = PyUnicode_DATA(text.get());
        Py_ssize_t at = 0;
        for (size_t i = 0; i < digit_count; ++i) PyUnicode_WRITE(kind, data, at++, digits[i]);
        PyUnicode_WRITE(kind, data, at++, 0x3001);
        for (Py_ssize_t i = start; i < end; ++i)
            if (i != bracket) PyUnicode_WRITE(kind, data, at++, chars[i]);
        return Route::written;
    });
}

Route sign(Ref &signature, PyObject *m_crypt, PyObject *text) {
    // The method's own work, without its call; hashing a long text lets other threads run, as
    // the method does, while the caller holds `m_crypt` and `text`.
    const CryptApi *api = own_crypt(m_crypt);
    if (!api) return Route::declined;
    signature = Ref::steal(api->sha256(m_crypt, text, true));
    if (signature) return Route::written;
    PyErr_Clear(); // a text with no UTF-8: the method, called, says so
    return Route::declined;
}

} // namespace glimet::tervix::fast
