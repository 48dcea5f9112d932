#pragma once
// Which names reach this server. A web page can point a name of its own at this PC (DNS
// rebinding); the browser then takes the server for that page's own site and lets the page
// read and change the inbox. So only names no other site can own are accepted: IP literals,
// "localhost", this computer's own names and the "--ip" value. A name is never accepted
// because it resolves to this PC: that is exactly what the other site arranges.
#include <cstddef>

#include "base/config.h"

// The longest Host or Origin text looked at; every accepted name is far shorter.
constexpr size_t HOST_TEXT_MAX_BYTES = 512;

// 1 when host, the value of a Host header ("name" or "name:port"), names this server: the
// name, compared without regard to ASCII case and with one trailing dot removed, is a
// dotted-quad IPv4 literal, a bracketed IPv6 literal, "localhost", one of
// config->host_names, or config->ip_override whatever its text; and a port, when given, is
// config->port. Anything else (another name, another port, an empty or malformed text, a
// text longer than HOST_TEXT_MAX_BYTES) gives 0.
int net_host_allowed(const Config* config, const char* host);

// 1 when origin, the value of an Origin header, is a page of this server: "http://" or
// "https://" (any case), then a name net_host_allowed accepts, and exactly config->port,
// written or as the scheme's default (80, 443). A path, user information, "null" and every
// other scheme give 0.
int net_origin_allowed(const Config* config, const char* origin);
