// The request parser on arbitrary heads, compared with a plain reference split of the same
// bytes, and the readers handlers use on what it found: header lookup, the device name, the
// target and its query parameters, and the strict number parse.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/strbuf.h"
#include "base/text.h"
#include "fuzz_check.h"
#include "http/request.h"
#include "base/config.h"
#include "net/host.h"

namespace {

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Texts in the parsed request are C strings: a zero byte from the wire ends them.
std::string as_c_string(const std::string& s) {
    return std::string(s.c_str());
}

std::string trim(std::string s) {
    s = as_c_string(s);
    size_t from = 0;
    while (from < s.size() && is_space(s[from])) from++;
    size_t to = s.size();
    while (to > from && is_space(s[to - 1])) to--;
    return s.substr(from, to - from);
}

// A configuration whose computer is called "pc" and which serves port 8620.
const Config* front_door_config() {
    static Config config = [] {
        Config made{};
        config_init(&made, "/nonexistent", "", 8620);
        config_set_computer_names(&made, "PC", nullptr);
        return made;
    }();
    return &config;
}

// The front door reads the Host and Origin values. Only a literal address or one of the
// computer's own names ever gets in, and an Origin naming an accepted Host with the server's
// port is accepted too.
void check_front_door(const char* host, const char* origin) {
    const Config* config = front_door_config();
    int host_ok = net_host_allowed(config, host);
    FUZZ_CHECK(host_ok == 0 || host_ok == 1);
    int origin_ok = net_origin_allowed(config, origin);
    FUZZ_CHECK(origin_ok == 0 || origin_ok == 1);
    if (!host || !host_ok) return;
    std::string name = host;
    size_t port_at = name.rfind(':');
    bool has_port = port_at != std::string::npos && name.find(']', port_at) == std::string::npos;
    if (has_port) name.resize(port_at);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (!name.empty() && name.back() == '.') name.pop_back();
    bool own = name == "localhost" || name == "pc" || name == "pc.local";
    FUZZ_CHECK(own || strspn(name.c_str(), "0123456789abcdef.:[]") == name.size());
    std::string with_port = has_port ? std::string(host) : std::string(host) + ":8620";
    FUZZ_CHECK(net_origin_allowed(config, ("http://" + with_port).c_str()) == 1);
}

struct Expected {
    bool ok = false;
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> headers;
};

// The head split by the rules, with std::string and nothing in place.
Expected reference_parse(const std::string& head) {
    Expected e;
    size_t line_end = head.find("\r\n");
    std::string line = head.substr(0, line_end);
    std::vector<std::string> tokens;
    size_t i = 0;
    while (tokens.size() < 3) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
        if (i >= line.size()) return e;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
        tokens.push_back(as_c_string(line.substr(start, i - start)));
    }
    e.ok = true;
    e.method = tokens[0];
    e.target = tokens[1];
    e.version = tokens[2];
    if (line_end == std::string::npos) return e;
    size_t pos = line_end + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        if (end == pos) break;
        std::string h = head.substr(pos, end - pos);
        size_t colon = h.find(':');
        if (colon != std::string::npos)
            e.headers.emplace_back(trim(h.substr(0, colon)), trim(h.substr(colon + 1)));
        pos = end + 2;
    }
    return e;
}

bool same_name(const std::string& a, const char* b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] + 32 : b[i];
        if (x != y) return false;
    }
    return true;
}

// Strict decimal: white space around, one optional sign, at least one digit, within int64.
bool reference_int64(const std::string& text, int64_t* out) {
    std::string t = text;
    size_t from = 0;
    while (from < t.size() && is_space(t[from])) from++;
    size_t to = t.size();
    while (to > from && is_space(t[to - 1])) to--;
    t = t.substr(from, to - from);
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.erase(0, 1);
    }
    if (t.empty()) return false;
    __int128 value = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT64_MAX) return false;
    }
    *out = static_cast<int64_t>(negative ? -value : value);
    return true;
}

// The decoded value of the first "name=value" pair with a non-empty value, or nothing.
std::optional<std::string> reference_query_param(const std::string& query,
                                                 const std::string& name) {
    size_t from = 0;
    for (;;) {
        size_t amp = query.find('&', from);
        std::string part =
            query.substr(from, amp == std::string::npos ? std::string::npos : amp - from);
        size_t eq = part.find('=');
        if (eq != std::string::npos && eq + 1 < part.size()) {
            StrBufOwner key;
            url_decode_query(key.get(), part.data(), eq);
            if (key->len > 0 && std::string(key.c_str(), key->len) == name) {
                StrBufOwner value;
                url_decode_query(value.get(), part.data() + eq + 1, part.size() - eq - 1);
                return std::string(value.c_str());
            }
        }
        if (amp == std::string::npos) return std::nullopt;
        from = amp + 1;
    }
}

void check_target(const char* target) {
    const char* query = "";
    char* path = http_split_target(target, &query);
    FUZZ_CHECK(path != nullptr);
    std::string whole(target);
    std::string before_hash = whole.substr(0, whole.find('#'));
    size_t question = before_hash.find('?');
    FUZZ_CHECK(std::string(path) == before_hash.substr(0, question));
    if (question == std::string::npos) {
        FUZZ_CHECK(*query == 0);
    } else {
        FUZZ_CHECK(std::string(query) == before_hash.substr(question + 1));
    }
    for (const char* name : {"dir", "data", "dl", "a b"}) {
        char* value = http_query_param(query, name);
        std::optional<std::string> want = reference_query_param(query, name);
        if (!want) {
            FUZZ_CHECK(value == nullptr);
        } else {
            FUZZ_CHECK(value != nullptr && *want == value);
        }
        free(value);
    }
    free(path);
}

void check_request(const HttpRequest& req, const Expected& want, const StrBuf& head) {
    FUZZ_CHECK(want.method == req.method && want.target == req.target &&
               want.version == req.version);
    FUZZ_CHECK(req.headers.count == want.headers.size());
    FUZZ_CHECK(req.headers.count <= req.headers.capacity);
    for (uint32_t i = 0; i < req.headers.count; i++) {
        const HttpHeader& h = req.headers.items[i];
        // Everything points into the head buffer.
        FUZZ_CHECK(h.name >= head.data && h.value < head.data + head.len + 1);
        FUZZ_CHECK(want.headers[i].first == h.name && want.headers[i].second == h.value);
    }
    // The first Content-Length counts; anything unparsable or negative is 0.
    int64_t length = 0;
    for (const auto& [name, value] : want.headers) {
        if (!same_name(name, "Content-Length")) continue;
        if (!reference_int64(value, &length) || length < 0) length = 0;
        break;
    }
    FUZZ_CHECK(req.content_length == length);
    for (const auto& [name, value] : want.headers) {
        const char* found = http_header(&req.headers, name.c_str());
        FUZZ_CHECK(found != nullptr);
        for (const auto& [n2, v2] : want.headers) {
            if (!same_name(n2, name.c_str())) continue;
            FUZZ_CHECK(v2 == found);
            break;
        }
    }
    check_front_door(http_header(&req.headers, "Host"), http_header(&req.headers, "Origin"));
    char* device = http_device_name(&req.headers);
    FUZZ_CHECK(device != nullptr && utf8_count(device) <= DEVICE_NAME_MAX_CHARS);
    free(device);
    check_target(req.target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    // The strict number parse on the raw bytes, zero bytes and all.
    int64_t mine = 0, theirs = 0;
    bool parsed = http_parse_int64(bytes.data(), bytes.size(), &mine) == 1;
    FUZZ_CHECK(parsed == reference_int64(bytes, &theirs));
    if (parsed) FUZZ_CHECK(mine == theirs);

    StrBufOwner head;
    if (sb_append(head.get(), data, size) != 0) return 0;
    Expected want = reference_parse(bytes);
    HttpRequest req;
    int ok = http_parse_request(head.get(), &req);
    FUZZ_CHECK(ok == (want.ok ? 1 : 0));
    if (ok) check_request(req, want, head.sb);
    http_request_free(&req);
    return 0;
}
