// Turns arbitrary bytes into a scripted desktop and command line, and a scenario back into bytes
// (for seeds).
//
//   mode            % 4: 0 a plain scan of the desktop; 1 a scan with --json; 2 one argument, TEXT, then the
//                   desktop (an argument that asks for a watch is stopped at once); 3 a watch:
//                   interval byte (1 + value % 5 s), rounds byte (1 + value % 4), a mask byte per
//                   round, then the desktop. Round r shows the desktop from r intervals on with
//                   the probe result of window i flipped (answering -> hung, hung -> answering
//                   in even rounds, destroyed in odd ones) where bit i % 7 of
//                   its mask is set; bit 7 makes that round's enumeration fail. Enter comes just
//                   before the last round would end.
//   byte 0          bit 7 set: the enumeration fails after (bits 0-6) windows
//   byte 1          number of owner processes, 1 + value % 8; bit 7: a 32-bit program on 64-bit
//                   Windows
//   per owner       flags (bit 0 opens, bit 1 path readable, bit 2 path terminated, bit 3 module
//                   lookup fails, bit 4 frozen by the system, bit 5 extended information
//                   refused), TEXT path
//   per window      flags (bits 0-1 probe result, bit 2 caption unreadable, bits 3-6 owner:
//                   0 none, k the k-th owner; bit 7 the failed probe leaves another error than
//                   ERROR_TIMEOUT: a timed-out probe becomes a refused one, a destroyed window
//                   one that waited out its limit with no error), TEXT caption
//   TEXT            16-bit little-endian length L; bit 15 clear: the next L bytes (fewer at
//                   the end of input); bit 15 set: one byte repeated L % 4096 times.
//                   NUL bytes read as 0x01, since the platform's texts cannot hold NUL.
#ifndef HUNGSCAN_FUZZ_INPUT_H
#define HUNGSCAN_FUZZ_INPUT_H

#include "scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>

scripted::Scenario DecodeFuzzInput(const std::uint8_t *data, std::size_t size);
std::string EncodeFuzzInput(const scripted::Scenario &scenario);

// What the scan must write for a desktop, worked out from the rules rather than the program;
// with reported, the handles of the windows it reports, in order.
std::string ExpectedTranscript(const scripted::Scenario &scenario, int &status,
                               std::vector<unsigned long> *reported = nullptr);

// Checks --json output: every line one JSON object under a strict reading, one "unresponsive"
// record for each window of the report and in its order, and a closing "done" record with the
// status. Returns a fault, or "".
std::string CheckRecords(const std::string &out, const std::vector<unsigned long> &reported, int status);

// What the command line asks for, worked out from the rules: "scan", "json" (records of a scan),
// "why", "help", "version", "watch" (with its interval) or "wrong".
std::string ExpectedCommand(const std::vector<std::string> &arguments, unsigned &interval);

// Checks a watch's whole output against its rules: the header, well-formed lines, every window
// that answers again or goes reported unresponsive before, the closing lines naming exactly the
// windows still unresponsive, one error line per failed enumeration. Returns a fault, or "".
std::string CheckWatchOutput(const std::string &out, unsigned interval, size_t failedEnumerations);

#endif
