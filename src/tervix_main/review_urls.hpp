// The two MeterSphere endpoints of a review, on the server and under the API root that the
// build fixes (GLIMET_METERSPHERE_BASE, GLIMET_METERSPHERE_API_ROOT).
#pragma once

namespace glimet::tervix {

// The case list, one page of 50 cases; "{page}" is filled by str.format(page=...).
inline constexpr char list_url[] = GLIMET_METERSPHERE_BASE GLIMET_METERSPHERE_API_ROOT
    "/test/review/case/list/{page}/50";
// The edit of one case.
inline constexpr char edit_url[] =
    GLIMET_METERSPHERE_BASE GLIMET_METERSPHERE_API_ROOT "/test/review/case/edit";

} // namespace glimet::tervix
