// The bytes of captured logs that many tests build: the Shift_JIS title that
// opens a PC-VAN header line 2, and whole messages and header pairs of both
// services.
#pragma once

#include <random>
#include <string>

// "★タイトル" (81 9A, 83 5E, 83 43, 83 67, 83 8B): five double-byte
// characters. A macro, so that literals can be joined to it.
#define PCVAN_TITLE "\x81\x9a\x83\x5e\x83\x43\x83\x67\x83\x8b"

// A PC-VAN message of a one-line body, posted at 21:34 on `date` ("96/05/12"):
// line count + 5 lines in all.
std::string pcvan_message(const std::string& number, const std::string& date,
                          const std::string& body);
// A NIFTY SERVE message in room 3 of a one-line body, posted at 21:34.
std::string nifty_message(const std::string& number, const std::string& date,
                          const std::string& body);

// Header lines 1 and 2 of a PC-VAN message numbered `number` of 1250. Line 2
// puts the year at column 23 and the line count's "(" at column 39 (with the
// default date and time).
std::string pcvan_header(int number, const std::string& date_time = "96/05/12  21:34",
                         const std::string& count = " (0)");
// Header lines 1 and 2 of a NIFTY SERVE message; `room` fills "( 3)".
std::string nifty_header(int number, const std::string& date_time = "96/05/12 21:34",
                         const std::string& room = " 3");

// A NIFTY SERVE forum banner line of `date` ("96/05/20").
std::string banner(const std::string& date);

// A random log of `service` (SERVICE_PCVAN or SERVICE_NIFTY) for differential
// tests: messages in and out of order, repeats, PC-VAN counts that fall short
// of the next header, reach it exactly or run past it, a message whose
// copy holds the repeat after it, text before the first message, NIFTY SERVE
// banner lines (some with dates the banner rule ignores), lines longer than a piece (one that runs
// into the next header), NUL bytes, and unended last lines (an end-of-file
// mark, a header cut after its line 2). Its messages are numbered from
// `first_number` on.
std::string random_log(std::mt19937& random, int service, int first_number = 1);
