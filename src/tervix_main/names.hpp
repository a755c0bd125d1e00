// The names and constant objects the toolkit module's operations share, made once while the
// module loads (after which get() never fails) and kept for the process.
#pragma once

#include "support/globals.hpp"

namespace glimet::tervix::names {

// Module globals and the attributes the operations read.
extern Name json, time, m_crypt, print, dumps, sha256, get, pop, update, items, json_dumps;
// Keys of the signed mappings, and the texts the operations pass on.
extern Name timespan_key, sign_key, upper, empty, prod;
// The integer 1000; the keyword-name tuples (saas_sign_timespan,), (saas_sign,),
// (ensure_ascii,) and (separators, ensure_ascii); the separators (",", ":"); (dict, list).
extern Kept thousand, timespan_kwnames, sign_kwnames, ensure_ascii_kwnames, dumps_kwnames,
    separators, dict_or_list;

// Makes all of the above; 0, or -1 with MemoryError.
[[nodiscard]] int make();

} // namespace glimet::tervix::names
