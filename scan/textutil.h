// Text helpers of the scan core: Windows-1252 to UTF-8, escapes for terminals, and the '&' lists
// that carry a document's macro names into MACRO_Handler.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zm {

// Windows-1252 text (the library's and Word 6's 8-bit texts) as UTF-8; the five unassigned bytes
// become U+FFFD.
std::string Cp1252ToUtf8(const std::string& s);

// UTF-16LE text as UTF-8, appended to *pOut; a lone surrogate becomes its three-byte form (WTF-8,
// as Windows names may hold one). Without bEnd, a last byte of half a unit, or a high surrogate
// whose partner may follow, is left for the next call; with it, half a unit becomes U+FFFD. The
// bytes of pch taken.
size_t AppendUtf16Le(const char* pch, size_t cb, bool bEnd, std::string* pOut);

// Length of the well-formed UTF-8 sequence at s[i] (shortest form, no surrogate, at most
// U+10FFFF), or 0 when none starts there.
size_t Utf8Length(const std::string& s, size_t i);
// True when s is well-formed UTF-8 (shortest forms, no surrogates).
bool IsUtf8(const std::string& s);
// s with every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
std::string LossyUtf8(const std::string& s);
// RFC 4648 base64 of the bytes, with padding.
std::string Base64(const std::string& s);
// s made safe for a terminal: control characters (C0, DEL, and C1 as UTF-8) and bytes that are not
// part of well-formed UTF-8 become \xHH; everything else is kept as it is.
std::string EscapeControls(const std::string& s);
// The same, appended to *pOut.
void AppendEscaped(std::string* pOut, const std::string& s);
void AppendEscaped(std::string* pOut, const char* pch, size_t cch);

// A size as clamd's configuration and clamscan's options write it: digits, then optionally k, m or
// g (either case) for KiB, MiB or GiB. False when s is not one, or it passes UINT64_MAX.
bool ParseSize(const std::string& s, uint64_t* pcb);

// A time in ctime's form, "Mon Mar 13 08:20:54 2023", local time; "unknown" when it has none.
std::string CtimeText(std::time_t t);

// The macro names split into '&' lists, in order, each within what one MACRO_Handler call carries
// (the interface's limits of zm_abi.h: 25 names of at most 30 characters, 255 in all). A name that
// no list can carry (over 30 characters, or holding '&' or NUL) is left out and counted in
// *pnLeftOut: no database name is that long or holds those bytes, so it could never match.
// No names give no lists.
std::vector<std::string> BuildMacroLists(const std::vector<std::string>& names, size_t* pnLeftOut);

}  // namespace zm
