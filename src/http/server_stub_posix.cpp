#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <thread>
#include "http/server.h"
#include "app/settings.h"
static int L = -1;
int srv_listen(int base) {
    for (int p = base; p < base + 20 && p <= 65535; ++p) {
        int s = socket(AF_INET, SOCK_STREAM, 0); int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{}; a.sin_family = AF_INET; a.sin_port = htons(p);
        if (bind(s, (sockaddr*)&a, sizeof a) == 0 && listen(s, 64) == 0) { L = s; ServerPort = p; return 0; }
        close(s);
    }
    return -1;
}
void srv_accept_loop() {
    for (;;) { int c = accept(L, nullptr, nullptr); if (c < 0) continue;
        std::thread([c]{ char b[4096]; (void)!read(c, b, sizeof b); const char r[] = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"; (void)!write(c, r, sizeof r - 1); close(c); }).detach(); }
}
