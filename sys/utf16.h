// UTF-16 of the Windows calls and the UTF-8 of the front ends, both ways without loss: unpaired
// surrogates, which Windows names may hold, travel as their three-byte forms (WTF-8). Used by
// the Windows files only.
#pragma once
#include <string>

namespace zebscan {

std::string NarrowWtf8(const std::wstring& w);
std::wstring WidenWtf8(const std::string& s);
// The system's description of a Win32 error code, without its closing period and line end.
std::string SystemMessage(unsigned long dwError);

}  // namespace zebscan
