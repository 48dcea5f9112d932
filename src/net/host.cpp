#include "net/host.h"

#include <cstring>

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f');
}

// A dotted quad: four decimal numbers of one to three digits, each at most 255.
bool is_ipv4_literal(const char* name) {
    const char* p = name;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *p++ != '.') return false;
        int value = 0, digits = 0;
        while (is_digit(*p) && digits < 4) {
            value = value * 10 + (*p++ - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
    }
    return *p == '\0';
}

// "[...]" holding hexadecimal digits, colons (at least two) and the dots of an embedded IPv4
// tail; a zone index ("%") is never sent by browsers and not accepted.
bool is_ipv6_literal(const char* name) {
    size_t len = strlen(name);
    if (len < 4 || name[0] != '[' || name[len - 1] != ']') return false;
    int colons = 0;
    for (size_t i = 1; i + 1 < len; i++) {
        char c = name[i];
        if (c == ':') {
            colons++;
        } else if (!is_hex(c) && c != '.') {
            return false;
        }
    }
    return colons >= 2;
}

// The lower-cased text without one trailing dot, into out; false when it does not fit.
bool normalised(const char* text, size_t len, char* out, size_t out_size) {
    if (len >= out_size) return false;
    for (size_t i = 0; i < len; i++) out[i] = ascii_lower(text[i]);
    if (len > 0 && out[len - 1] == '.') len--;
    out[len] = '\0';
    return true;
}

bool is_own_name(const Config* config, const char* name) {
    if (strcmp(name, "localhost") == 0) return true;
    for (int i = 0; i < config->host_name_count; i++) {
        if (strcmp(config->host_names[i], name) == 0) return true;
    }
    if (config->ip_override[0]) {
        char wanted[SETTINGS_IP_BYTES];
        if (normalised(config->ip_override, strlen(config->ip_override), wanted, sizeof wanted) &&
            strcmp(wanted, name) == 0)
            return true;
    }
    return false;
}

// Reads "name[:port]" (len bytes at text). On success the lower-cased name without a
// trailing dot is in name and *port holds the port, or -1 when none was written.
bool split_authority(const char* text, size_t len, char name[HOST_TEXT_MAX_BYTES], long* port) {
    if (len == 0 || len >= HOST_TEXT_MAX_BYTES) return false;
    size_t name_len = len;
    if (text[0] == '[') {
        const char* close = static_cast<const char*>(memchr(text, ']', len));
        if (!close) return false;
        name_len = static_cast<size_t>(close - text) + 1;
        if (name_len < len && text[name_len] != ':') return false;
    } else {
        const char* colon = static_cast<const char*>(memchr(text, ':', len));
        if (colon) name_len = static_cast<size_t>(colon - text);
    }
    *port = -1;
    if (name_len < len) {
        // A colon, then one to five digits and nothing else.
        size_t digits = len - name_len - 1;
        if (digits == 0 || digits > 5) return false;
        long value = 0;
        for (size_t i = name_len + 1; i < len; i++) {
            if (!is_digit(text[i])) return false;
            value = value * 10 + (text[i] - '0');
        }
        *port = value;
    }
    if (!normalised(text, name_len, name, HOST_TEXT_MAX_BYTES)) return false;
    return name[0] != '\0';
}

bool name_allowed(const Config* config, const char* name) {
    return is_ipv4_literal(name) || is_ipv6_literal(name) || is_own_name(config, name);
}

// The length of text, but at most HOST_TEXT_MAX_BYTES: a longer text is refused anyway.
size_t bounded_len(const char* text) {
    size_t len = 0;
    while (len < HOST_TEXT_MAX_BYTES && text[len]) len++;
    return len;
}

bool starts_with_ignoring_case(const char* text, const char* prefix) {
    for (; *prefix; text++, prefix++) {
        if (ascii_lower(*text) != *prefix) return false;
    }
    return true;
}

}  // namespace

int net_host_allowed(const Config* config, const char* host) {
    if (!config || !host) return 0;
    char name[HOST_TEXT_MAX_BYTES];
    long port = -1;
    if (!split_authority(host, bounded_len(host), name, &port)) return 0;
    if (port != -1 && port != config->port) return 0;
    return name_allowed(config, name) ? 1 : 0;
}

int net_origin_allowed(const Config* config, const char* origin) {
    if (!config || !origin) return 0;
    const char* authority;
    long default_port;
    if (starts_with_ignoring_case(origin, "http://")) {
        authority = origin + 7;
        default_port = 80;
    } else if (starts_with_ignoring_case(origin, "https://")) {
        authority = origin + 8;
        default_port = 443;
    } else {
        return 0;
    }
    size_t len = bounded_len(authority);
    // An origin is scheme, host and port only.
    if (memchr(authority, '/', len) || memchr(authority, '@', len)) return 0;
    char name[HOST_TEXT_MAX_BYTES];
    long port = -1;
    if (!split_authority(authority, len, name, &port)) return 0;
    if ((port == -1 ? default_port : port) != config->port) return 0;
    return name_allowed(config, name) ? 1 : 0;
}
