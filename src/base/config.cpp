#include "base/config.h"

char InboxDir[SETTINGS_PATH_BYTES];
char StateDir[SETTINGS_PATH_BYTES];
char IpOverride[SETTINGS_IP_BYTES];
int ServerPort = DEFAULT_PORT;
