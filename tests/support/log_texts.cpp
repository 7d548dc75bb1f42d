#include "support/log_texts.h"

#include <cstdio>

std::string pcvan_message(const std::string& number, const std::string& date,
                          const std::string& body) {
    return "#" + number + "/9 TITLE\r\n" PCVAN_TITLE " (ABC01234)  " + date +
           "  21:34 (1)\r\n--\r\n" + body + "\r\n--\r\n\r\n";
}

std::string nifty_message(const std::string& number, const std::string& date,
                          const std::string& body) {
    return number + "/00009 ABC01234 TITLE\r\n( 3)   " + date + " 21:34\r\n" + body + "\r\n\r\n";
}

std::string pcvan_header(int number, const std::string& date_time, const std::string& count) {
    return "#" + std::to_string(number) + "/1250 SENDER\r\n" PCVAN_TITLE " (ABC01234)  " +
           date_time + count + " TITLE\r\n";
}

std::string nifty_header(int number, const std::string& date_time, const std::string& room) {
    char line1[64];
    std::snprintf(line1, sizeof line1, "%05d/00120 ABC01234 TITLE\r\n", number);
    return line1 + ("(" + room + ")   " + date_time + " SENDER\r\n");
}
