// What tavuinject sends, read from the command line, an event file or hex:
// each event one datagram as the kernel makes it (tavuUeventDatagram). A
// "{n}" stays in it until the round's counter replaces it. Errors are
// one line with every byte of the input that they show escaped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The datagram of one event's KEY=VALUE `words`; false with `error` set when
// a word is no KEY=VALUE or ACTION= or DEVPATH= is missing.
bool tavuEventDatagram(const std::vector<std::string>& words, std::string* datagram,
                       std::string* error);

// The datagrams of the event file `path` ("-": standard input): blocks of
// KEY=VALUE lines separated by blank lines, '#' starting a comment line.
// False with `error` set when it cannot be read or is malformed.
bool tavuReadEventFile(const std::string& path, std::vector<std::string>* datagrams,
                       std::string* error);

// "61 64:64" as bytes: pairs of hex digits, blanks and ':' ignored.
bool tavuParseHex(const std::string& text, std::string* bytes);

// `datagram` with every "{n}" replaced by `counter` in decimal.
std::string tavuCountedDatagram(const std::string& datagram, uint64_t counter);
