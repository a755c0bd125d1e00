// libFuzzer target for the curl command reader: any bytes in, no crash, and a result that is
// either a refusal with a reason or a request with a URL and a method.
// Build from the repository root with clang++ -std=c++20 -g -O1
// -fsanitize=fuzzer,address,undefined -Isrc fuzz/curl_fuzzer.cpp src/glimet_curl/curl_core.cpp
// -o fuzz/out/curl_fuzzer
#include "glimet_curl/curl_core.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    glimet::curl::ParseResult result = glimet::curl::parse_command(text);
    bool refused = !result.error.empty();
    bool complete = !result.request.url.empty() && !result.request.method.empty();
    if (refused == complete) std::abort();
    return 0;
}
