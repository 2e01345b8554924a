/*
 * korven.h - the host library's log function.
 *
 * err() formats its arguments printf-style and writes one line per call:
 *   <timestamp> TAB <level> TAB <text>
 * to standard error, or appends it to the file named by the environment
 * variable KORVEN_LOG when that is set. Levels in use: 8 (per-request traces
 * and errors) and 32 (reports). When the environment variable KORVEN_LEVEL
 * holds a number, lines of a lower level are dropped (KORVEN_LEVEL=32 keeps
 * only the reports); unset or empty, every line is written. The call keeps no
 * pointer to its arguments.
 *
 * The symbol is versioned (KORVEN_1.0) so that a module linked against this
 * library reaches it and not the C library's err(3).
 */
#ifndef KORVEN_H
#define KORVEN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(KORVEN_BUILD)
#define KORVEN_API __declspec(dllexport)
#else
#define KORVEN_API __declspec(dllimport)
#endif
#else
#define KORVEN_API __attribute__((visibility("default")))
#endif

KORVEN_API int err(int iLevel, const char *pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* KORVEN_H */
