// Text helpers shared by the walk and the host utilities: the library's case folding and the
// bounded copy of a caller's text into a 256-byte work area.
#pragma once
#include <stdint.h>

// The library's upper-casing: 'a' to 'z' become 'A' to 'Z' in place, every other byte stays.
char UTL_chFold(char ch);
void UTL_Fold(char* szText);

// Copies szText with its NUL into szArea (ZM_TEXT_AREA bytes). A null text counts as empty.
// Returns 0, with szArea empty, when the text is longer than 255 characters; it is never read past
// its 256th byte.
int32_t UTL_iCopyText(char* szArea, const char* szText);
