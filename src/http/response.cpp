#include "http/response.h"

#include <chrono>
#include <cstdio>

#include "base/config.h"
#include "base/json.h"

namespace {

constexpr const char* JSON_TYPE = "application/json; charset=utf-8";

const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct CivilDate {
    int64_t year;
    int month;  // 1..12
    int day;    // 1..31
};

// Days since 1970-01-01 to a proleptic Gregorian date (the era-based method: 400-year eras of
// 146,097 days, years counted from March so the leap day comes last).
CivilDate civil_from_days(int64_t days) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_from_march = (5 * day_of_year + 2) / 153;
    CivilDate date;
    date.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    date.month =
        static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    date.year = year_of_era + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

int64_t floor_div(int64_t a, int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

const char* http_status_text(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 206:
            return "Partial Content";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 409:
            return "Conflict";
        case 412:
            return "Precondition Failed";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 416:
            return "Requested Range Not Satisfiable";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Unsupported method";
        case 503:
            return "Service Unavailable";
        default:
            return status < 404 ? "OK" : "Unsupported method";
    }
}

void http_format_date(int64_t unix_seconds, char buf[HTTP_DATE_BYTES]) {
    int64_t days = floor_div(unix_seconds, 86400);
    int64_t second_of_day = unix_seconds - days * 86400;
    CivilDate date = civil_from_days(days);
    int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    snprintf(buf, HTTP_DATE_BYTES, "%s, %02d %s %04lld %02d:%02d:%02d GMT", WEEKDAYS[weekday],
             date.day, MONTHS[date.month - 1], static_cast<long long>(date.year),
             static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
             static_cast<int>(second_of_day % 60));
}

void http_date(char buf[HTTP_DATE_BYTES]) {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    http_format_date(std::chrono::floor<std::chrono::seconds>(now).count(), buf);
}

void http_write_head(StrBuf* head, int status, const char* reason, const HttpExtraHeader* fields,
                     int count) {
    char date[HTTP_DATE_BYTES];
    http_date(date);
    sb_appendf(head, "HTTP/1.0 %d %s\r\n", status, reason ? reason : http_status_text(status));
    sb_appendf(head, "Server: Skiffbox/%s \r\n", APP_VERSION);
    sb_appendf(head, "Date: %s\r\n", date);
    for (int i = 0; i < count; i++) {
        if (!fields[i].value) continue;
        // Name and value apart: a long value must not push the line past one formatted piece.
        sb_append_str(head, fields[i].name);
        sb_append_str(head, ": ");
        sb_append_str(head, fields[i].value);
        sb_append_str(head, "\r\n");
    }
    sb_append_str(head, "\r\n");
}

void http_format_head(StrBuf* head, int status, const char* content_type, uint64_t length,
                      const HttpExtraHeader* extra, int extra_count) {
    char length_text[24];
    snprintf(length_text, sizeof length_text, "%llu", static_cast<unsigned long long>(length));
    const HttpExtraHeader* added = extra_count == 1 ? extra : nullptr;
    // Only the page itself may frame what this server sends (it reads ZIP errors from its
    // own hidden frame); no other site can lay the page under a decoy and borrow its clicks.
    HttpExtraHeader fields[] = {
        {"Content-Type", content_type},
        {"Content-Length", length_text},
        {"Cache-Control", "no-store"},
        {added ? added->name : "", added ? added->value : nullptr},
        {"X-Frame-Options", "SAMEORIGIN"},
        {"Content-Security-Policy", "frame-ancestors 'self'"},
    };
    http_write_head(head, status, nullptr, fields, 6);
}

int http_send_all(SockHandle socket, const void* bytes, uint64_t length) {
    const char* next = static_cast<const char*>(bytes);
    while (length > 0) {
        uint64_t piece = length < SEND_CHUNK_BYTES ? length : SEND_CHUNK_BYTES;
        int64_t sent = sock_send(socket, next, static_cast<size_t>(piece));
        if (sent <= 0) return 0;
        next += sent;
        length -= static_cast<uint64_t>(sent);
    }
    return 1;
}

HttpAnswer http_answer_on(SockHandle socket) {
    return HttpAnswer{socket, nullptr, false, false};
}

HttpAnswer http_answer_captured(StrBuf* capture) {
    return HttpAnswer{SOCK_INVALID, capture, false, false};
}

namespace {

int answer_bytes(HttpAnswer* answer, const void* bytes, uint64_t length) {
    if (answer->broken) return 0;
    int sent = answer->capture ? sb_append(answer->capture, bytes, length) == 0
                               : http_send_all(answer->socket, bytes, length);
    if (!sent) answer->broken = true;
    return sent;
}

}  // namespace

int http_answer_head(HttpAnswer* answer, const StrBuf* head) {
    if (answer->begun) return 0;
    answer->begun = true;
    // No memory for the whole head: a body alone would be garbage.
    if (head->failed || head->len == 0) {
        answer->broken = true;
        return 0;
    }
    return answer_bytes(answer, head->data, head->len);
}

int http_answer_body(HttpAnswer* answer, const void* bytes, uint64_t length) {
    if (!answer->begun) return 0;
    return answer_bytes(answer, bytes, length);
}

void http_answer_abort(HttpAnswer* answer) {
    answer->broken = true;
    if (!answer->capture) sock_shutdown(answer->socket);
}

void http_send_response(HttpAnswer* answer, int status, const char* content_type,
                        const void* body, uint64_t length, const HttpExtraHeader* extra,
                        int extra_count) {
    StrBufOwner head;
    http_format_head(head.get(), status, content_type, length, extra, extra_count);
    // A small body goes out in the head's send: one system call and one packet, and no
    // small second segment for Nagle's algorithm to hold back until the client acknowledges.
    if (length > 0 && length <= SMALL_BODY_BYTES && sb_append(head.get(), body, length) == 0) {
        http_answer_head(answer, head.get());
        return;
    }
    if (!http_answer_head(answer, head.get())) return;
    if (length > 0) http_answer_body(answer, body, length);
}

void http_send_json(HttpAnswer* answer, int status, const StrBuf* body) {
    if (body->failed) {
        http_send_error(answer, "内存不足", 500);
        return;
    }
    http_send_response(answer, status, JSON_TYPE, body->data, body->len, nullptr, 0);
}

void http_send_error(HttpAnswer* answer, const char* message, int status) {
    StrBufOwner body;
    sb_append_str(body.get(), "{\"error\": ");
    json_append_string(body.get(), message);
    sb_append_str(body.get(), "}");
    // Without memory even for the message, the head alone still tells the status.
    if (body->failed) sb_clear(body.get());
    http_send_response(answer, status, JSON_TYPE, body->data, body->len, nullptr, 0);
}

void http_send_bad_request(HttpAnswer* answer) {
    StrBufOwner head;
    const HttpExtraHeader length = {"Content-Length", "0"};
    http_write_head(head.get(), 400, nullptr, &length, 1);
    http_answer_head(answer, head.get());
}
