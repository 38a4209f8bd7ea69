// UTF-16 of the Windows calls and the UTF-8 of the front ends, both ways without loss: unpaired
// surrogates, which Windows names may hold, travel as their three-byte forms (WTF-8); and the
// texts the Windows calls take (error messages, command lines). Windows only (utf16_win32.cpp):
// the Windows files of sys/ include it.
#pragma once
#include <string>

namespace zm {

std::string NarrowWtf8(const std::wstring& w);
std::wstring WidenWtf8(const std::string& s);
// The system's description of a Win32 error code, without its closing period and line end.
std::string SystemMessage(unsigned long dwError);
// One argument of a command line, quoted as CommandLineToArgvW reads it back.
std::wstring QuoteArgument(const std::wstring& w);

}  // namespace zm
