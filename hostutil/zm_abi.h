// Calling convention and visibility of the exports: stdcall DLL exports named by the .def file on
// Windows, plain C ABI with default visibility (everything else hidden) on ELF platforms.
#pragma once

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
