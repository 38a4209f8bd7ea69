// The least Word 6 document that the library's document scan reads: a compound file whose
// WordDocument stream holds one macro, stored plain, in regular sectors. Only what
// --list-definitions asks a library with; the tests build theirs with the document builder.
#pragma once
#include <string>

namespace zebscan {

// The file's bytes, with sBody (1 to 3999 bytes) as the macro's body; empty when it does not fit.
std::string ProbeDocument(const std::string& sBody);

}  // namespace zebscan
