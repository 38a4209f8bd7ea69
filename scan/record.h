// The JSON record of one result, the same for every front end: zebscan --json prints it, one
// object a line, and a library caller reads it. docs/json-output.md describes it field by field.
#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "scanner.h"

namespace zm {

// The records' version; it changes when a field changes meaning or type.
constexpr int kJsonSchema = 1;
// A record's "result", by Outcome.
extern const char* const kOutcome[4];

// The record of r: schema, path (and path_bytes), result, the finding or the reason, and what
// was read of the document's macros; for a container, its kind, the members looked at and the
// record of each member (MemberRecord). A front end may add fields of its own before dumping it.
nlohmann::json JsonRecord(const FileResult& r);
// The record of one member of the container r: its path as a report line shows it, the chain of
// containers and its own name as given (lossless: *_bytes in base64 where not UTF-8), its result,
// finding or reason, why it has a record, the limit, the bytes read of it.
nlohmann::json MemberRecord(const FileResult& r, const container::Member& m);

// j as one line of JSON Lines, its line end included; bytes that are not UTF-8 become U+FFFD, and
// U+0085, U+2028 and U+2029 are escaped (\u2028), so that no reader finds a line end within it.
std::string JsonLine(const nlohmann::json& j);
// JsonLine(JsonRecord(r)), the same bytes, made without building the object where r is plain:
// no container, no macros listed, a virus name and finder in UTF-8.
std::string RecordLine(const FileResult& r);
bool IsPlainRecord(const FileResult& r);

}  // namespace zm
