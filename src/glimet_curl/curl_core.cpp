// The curl command reader.
#include "glimet_curl/curl_core.hpp"
