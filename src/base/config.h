#pragma once
// Process-wide settings. Written once during start-up on the main thread, before any
// connection thread exists, and only read afterwards.
#include <cstdint>

constexpr const char* APP_VERSION = "1.0.0";
constexpr const char* APP_NAME = "舟匣";
constexpr int DEFAULT_PORT = 8620;
constexpr int SETTINGS_PATH_BYTES = 4096;
constexpr int SETTINGS_IP_BYTES = 64;

// Absolute inbox folder, UTF-8, NUL-terminated (cut to 4,095 bytes).
extern char InboxDir[SETTINGS_PATH_BYTES];
// InboxDir + separator + ".skiffbox": the hidden state folder.
extern char StateDir[SETTINGS_PATH_BYTES];
// The "--ip" value (at most 63 bytes); empty when not set.
extern char IpOverride[SETTINGS_IP_BYTES];
// The port actually bound; 8620 until the listener binds.
extern int ServerPort;
