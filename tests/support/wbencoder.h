// A WordBasic encoder for the tests, the sample generator and the fuzz seeds: source text to a
// macro body in the token form that the wordbasic module reads (its header comment and
// docs/wordbasic.md give the layout). It writes the form we believe Word writes, so that
// statements round-trip encoder -> document builder -> reader -> de-tokeniser:
//   - two header bytes (kHeader), then the tokens, a line end (0x64) after every line;
//   - indentation and runs of two or more spaces or tabs as 0x6E / 0x6F counts; a single space
//     between tokens is left implicit;
//   - a number at a line's start is a line number (0x66); a name followed by ':' there a label
//     (0x65); '...' and REM run to the line's end;
//   - names of statements, functions and dialog fields (.Name) as their ids from the module's
//     tables (a function's id when '(' follows and there is one), keywords and operators as their
//     bytes, other names as identifiers (0x69) or field names (0x76);
//   - integers up to 65535 as 0x6C, other numbers as 8-byte doubles (0x68);
//   - strings and comments in Windows-1252 (0x6A, 0x6B) when the text fits it, else in UTF-16
//     (0x79, 0x7C). The source is UTF-8.
// No GoogleTest dependency.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zmdoc {

// The two bytes before the token stream, whose meaning no public description gives.
constexpr uint8_t kWordBasicHeader[2] = {0x01, 0x00};

// The body (in the clear) of the macro whose source is `source` ('\n' between lines). Empty, with
// *psError saying where, when the text holds something the encoder cannot write (an unclosed
// string, a name or text over 255 bytes, a name outside Windows-1252).
std::vector<uint8_t> EncodeWordBasic(const std::string& source, std::string* psError = nullptr);

}  // namespace zmdoc
