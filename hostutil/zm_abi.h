// Calling convention and visibility of the exports: stdcall DLL exports named by the .def file on
// Windows, plain C ABI with default visibility (everything else hidden) on ELF platforms. With the
// limits of the interface, which the library and its callers share (installed beside zebmacro.h,
// which includes it).
#pragma once

// Texts handed in hold at most this many characters (a NUL after them); longer ones are refused.
#define ZM_MAX_TEXT 255
// A macro-name list carries at most this many names ('&' after each), each at most this long.
#define ZM_MAX_MACRO_NAMES 25
#define ZM_MAX_MACRO_NAME 30
// Result buffers (szResult, szResultMacros) hold this many bytes, the closing NUL included.
#define ZM_RESULT_SIZE 256

#if defined(_WIN32)
#define ZM_CALL __stdcall
#define ZM_API
#else
#define ZM_CALL
#define ZM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define ZM_EXTERN_C extern "C"
#else
#define ZM_EXTERN_C
#endif

#define ZM_EXPORT(ret) ZM_EXTERN_C ZM_API ret ZM_CALL
