#include "support/log_texts.h"

#include <cstdio>

#include "logindex/log_format.h"
#include "logindex/run_options.h"

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

std::string banner(const std::string& date) {
    return "- ABCDEF MES( 3) ROOM NAME " + date + "\r\n";
}

static std::string random_body_line(std::mt19937& random) {
    const int pick = static_cast<int>(random() % 100);
    if (pick < 3) {
        return std::string(LINE_BUFFER_SIZE + 800, 'x') + "\r\n";  // two pieces
    }
    if (pick < 5) {
        return std::string(LINE_BUFFER_SIZE - 1, 'x');  // a full piece; what follows starts one
    }
    if (pick < 8) {
        return std::string("bo\0dy\r\n", 7);
    }
    return "body\r\n";
}

// A banner line whose date the banner rule ignores (month 00, or a "/" in the
// room title before the date): never kept, so never written again.
static std::string undated_banner(std::mt19937& random) {
    return random() % 2 == 0 ? banner("96/00/20") : "- ABCDEF MES( 3) Q/A ROOM 96/05/20\r\n";
}

// PC-VAN: a message whose copy already holds the repeat after it (5 lines
// from its header): without a count its header and the repeat's three
// lines, with "(0)" its header, one body line and the repeat's header.
// The repeat is dated a minute later, so that it sorts after the message.
static std::string repeat_held_by_count(std::mt19937& random, int number) {
    const int minute = static_cast<int>(random() % 3);
    const std::string time = "96/05/12  21:0" + std::to_string(minute);
    const std::string later = "96/05/12  21:0" + std::to_string(minute + 1);
    if (random() % 2 == 0) {
        return pcvan_header(number, time, "") + pcvan_header(number, later, "") + "body\r\n";
    }
    return pcvan_header(number, time, " (0)") + "body\r\n" + pcvan_header(number, later, " (0)");
}

std::string random_log(std::mt19937& random, int service, int first_number) {
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    std::string log = chance(10) ? "ATDT\r\n" : "";
    if (service == SERVICE_NIFTY && chance(50)) {
        log += chance(30) ? undated_banner(random) : banner("96/05/20");
    }
    if (service == SERVICE_PCVAN && chance(15)) {
        log += repeat_held_by_count(random, 9);
    }
    const int messages = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < messages; ++i) {
        // A repeat now and then.
        const int number = first_number + (chance(15) && i > 0 ? i - 1 : i);
        const int minute = chance(15) ? 59 - i : 10 + i;  // out of order now and then
        const std::string time = "96/05/12" + std::string(service == SERVICE_PCVAN ? "  " : " ") +
                                 "21:" + std::to_string(minute);
        const int count = static_cast<int>(random() % 3);
        int body = count + 3;  // what reaches the next header exactly
        if (service == SERVICE_PCVAN) {
            log += pcvan_header(number, time, chance(10) ? "" : " (" + std::to_string(count) + ")");
            body += chance(25) ? static_cast<int>(random() % 5) - 2 : 0;
        } else {
            log += nifty_header(number, time);
            body = static_cast<int>(random() % 3);
        }
        for (int line = 0; line < body; ++line) {
            log += random_body_line(random);
        }
        if (service == SERVICE_NIFTY && chance(10)) {
            log += chance(30) ? undated_banner(random) : banner("96/05/1" + std::to_string(i));
        }
    }
    if (chance(15)) {
        log += "\x1a";
    } else if (chance(10) && log.size() >= 2) {
        log.erase(log.size() - 2);  // the last line unended
    }
    return log;
}
