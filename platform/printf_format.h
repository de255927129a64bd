// HALVEX_PRINTF(f, a): printf-style format checking for our own variadic
// functions (argument f is the format, a the first value).
//
// MinGW's compiler checks the "printf" archetype against the old Microsoft
// runtime (no %zu, no %hhu), while the C++ runtime it links formats by C99
// (__USE_MINGW_ANSI_STDIO); the matching archetype there is gnu_printf,
// which clang does not know.

#pragma once

#if defined(__MINGW32__)
#define HALVEX_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define HALVEX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif
