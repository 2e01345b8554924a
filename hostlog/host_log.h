// The host's log function, exported by name from the host library KORVEN.
//
// The driver hands over the format and its arguments unformatted: formatting,
// time-stamping and filtering are the host's work. The call must return and
// keeps no pointer to the texts it was given.
#pragma once

extern "C" int err(int iLevel, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

namespace sarn {

// Per-request traces and errors: frames, retries, address refusals.
inline constexpr int kLogTrace = 8;
// Cold-start report, configuration, lifecycle port failures, daily restart.
inline constexpr int kLogReport = 32;

}  // namespace sarn
