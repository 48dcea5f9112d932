#pragma once
// The program's settings: constants, and the one configuration that start-up builds from the
// command line and the bound port. The configuration is filled in on the main thread before
// any connection thread exists and only read afterwards; it is handed down as a const
// pointer to everything that needs it.
#include <cstdint>

constexpr const char* APP_VERSION = "1.0.0";
constexpr const char* APP_NAME = "舟匣";
constexpr int DEFAULT_PORT = 8620;
constexpr int SETTINGS_PATH_BYTES = 4096;
constexpr int SETTINGS_IP_BYTES = 64;
// The hidden state folder's name inside the inbox.
constexpr const char* STATE_FOLDER_NAME = ".skiffbox";
// Room for this computer's own names: its DNS host name and its NetBIOS name, each alone and
// with ".local", and each of those in its "xn--" form too.
constexpr int CONFIG_HOST_NAMES = 8;
constexpr int CONFIG_HOST_NAME_BYTES = 256;
// The access code ("--pin"): at most 12 characters. The login token of the start-up addresses:
// 32 hex digits.
constexpr int CONFIG_PIN_BYTES = 13;
constexpr int CONFIG_TOKEN_BYTES = 33;

struct Config {
    // Absolute inbox folder, UTF-8, NUL-terminated (cut to 4,095 bytes).
    char inbox_dir[SETTINGS_PATH_BYTES];
    // inbox_dir + the platform's separator + ".skiffbox": the hidden state folder (cut to
    // 4,095 bytes).
    char state_dir[SETTINGS_PATH_BYTES];
    // The "--ip" value (at most 63 bytes); empty when not set.
    char ip_override[SETTINGS_IP_BYTES];
    // The port the server is reached on: the one bound once the listener binds.
    int port;
    // This computer's own names as a browser writes them in a Host header: lower-case,
    // without a trailing dot, in both the UTF-8 and the "xn--" form. Names that did not fit a
    // slot are left out, never cut (a cut name would be another name).
    char host_names[CONFIG_HOST_NAMES][CONFIG_HOST_NAME_BYTES];
    int host_name_count;
    // The access code, as given; empty when anyone on the network may use the server.
    char pin[CONFIG_PIN_BYTES];
    // With an access code: the random token of this run's login addresses ("?k=..."); a page
    // request that carries it gets a session. Empty without an access code.
    char login_token[CONFIG_TOKEN_BYTES];
};

// Fills config: inbox_dir from inbox_dir, state_dir from it, ip_override from ip_override
// (null counts as empty) and port. Texts too long for their field are cut, as the fields say.
// 0 on success; -1 when config or inbox_dir is null (config is then left untouched).
// Leaves the configuration without host names and without an access code.
int config_init(Config* config, const char* inbox_dir, const char* ip_override, int port);
// Records this computer's DNS host name and NetBIOS name (UTF-8; either may be null or empty)
// in host_names: each lower-cased (ASCII letters; the platform lower-cases others), without a
// trailing dot, alone and with ".local", and, when it holds non-ASCII letters, also in the
// "xn--" form a browser sends. Duplicates are listed once. Replaces any names recorded before.
void config_set_computer_names(Config* config, const char* dns_name, const char* netbios_name);
// Sets the access code and the login token (null counts as empty; texts too long for their
// field are cut). Both empty: no access code.
void config_set_access(Config* config, const char* pin, const char* login_token);
