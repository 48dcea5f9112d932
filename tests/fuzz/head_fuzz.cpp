// The request head reader on a real connection: the input is sent over 127.0.0.1 in pieces
// whose sizes the input chooses, then the client closes. The reader must take exactly the
// head, keep every byte after it for the body readers (nothing lost, nothing read twice), give
// up on a head without a blank line, and hand the body out whole whichever reader takes it.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/strbuf.h"
#include "fuzz_check.h"
#include "http/request.h"
#include "base/sock.h"

namespace {

struct Listener {
    SockHandle socket = SOCK_INVALID;
    int port = -1;
    Listener() {
        sock_startup();
        socket = sock_tcp4();
        if (socket == SOCK_INVALID || sock_bind_loopback4(socket, 0) != 0 ||
            sock_listen(socket, 16) != 0) {
            fprintf(stderr, "cannot listen on 127.0.0.1\n");
            abort();
        }
        port = sock_local_port(socket);
    }
};

// Thousands of short connections a second leave the client ports in TIME_WAIT; where the
// system does not reuse them at once, wait for some to come free rather than report the
// machine's limit as a finding.
SockHandle connect_with_patience(int port) {
    for (int attempt = 0; attempt < 200; attempt++) {
        SockHandle client = sock_connect_loopback4(port);
        if (client != SOCK_INVALID) return client;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fprintf(stderr, "cannot connect to 127.0.0.1:%d; input skipped\n", port);
    return SOCK_INVALID;
}

// Sends the first `lead` bytes at once and the rest in pieces of the planned sizes, then
// closes its end.
void send_all(SockHandle client, const std::string& bytes, size_t lead,
              std::vector<size_t> pieces) {
    size_t done = 0;
    for (size_t turn = 0; done < bytes.size(); turn++) {
        size_t want = pieces.empty() ? bytes.size() : pieces[turn % pieces.size()];
        if (done < lead) want = lead - done;
        if (want > bytes.size() - done) want = bytes.size() - done;
        int64_t n = sock_send(client, bytes.data() + done, want);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    sock_close(client);
}

// Reads the rest of the body with one of the body readers, as a handler would.
std::string read_rest(HttpConn* conn, unsigned how, int64_t expected) {
    std::string got;
    switch (how % 3) {
        case 0: {  // http_read_body asks for exactly what is announced; ask for a little more
            int64_t n = 0;
            char* body = http_read_body(conn, expected + 1, &n);
            if (expected + 1 > 0) FUZZ_CHECK(body != nullptr);
            if (body) got.assign(body, static_cast<size_t>(n));
            free(body);
            break;
        }
        case 1: {  // small reads, as the upload's reader may make
            char buf[7];
            size_t cap = how / 3 % 7 + 1;
            for (int64_t n; (n = http_conn_read(conn, buf, cap)) > 0;)
                got.append(buf, static_cast<size_t>(n));
            break;
        }
        case 2: {  // the drain throws it all away and counts nothing
            int64_t before = conn->body_read;
            http_drain_body(conn, expected + 1);
            FUZZ_CHECK(conn->body_read == before);
            FUZZ_CHECK(conn->carry_pos == conn->carry_len);
            return std::string();
        }
    }
    FUZZ_CHECK(conn->body_read == static_cast<int64_t>(got.size()));
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Listener listener;
    FuzzInput in{data, size};
    unsigned how = in.take_byte();
    std::vector<size_t> pieces;
    for (unsigned i = in.take_below(4); i > 0; i--) pieces.push_back(in.take_byte() % 64 + 1);
    if (!pieces.empty() && pieces[0] == 64) pieces[0] = 4096;  // now and then a full read
    unsigned pad = in.take_below(1024);
    std::string bytes = in.take_rest();
    // Half the inputs get a filler in front that brings their blank line to within a few
    // hundred bytes of the head limit, on either side of it.
    size_t lead = pad >= 512 ? MAX_HEAD_BYTES - 600 + (pad - 512) * 2 : 0;
    bytes.insert(0, lead, 'a');
    // A head much longer than the limit only repeats what the limit already shows.
    if (bytes.size() > MAX_HEAD_BYTES + 2 * HEAD_READ_BYTES) return 0;

    SockHandle client = connect_with_patience(listener.port);
    if (client == SOCK_INVALID) return 0;  // the machine, not the reader, ran out
    int starved = 0;
    SockHandle server = sock_accept(listener.socket, &starved, nullptr);
    FUZZ_CHECK(server != SOCK_INVALID);
    std::thread sender(send_all, client, bytes, lead, pieces);

    HttpConn conn;
    http_conn_init(&conn, server);
    StrBufOwner head;
    int ok = http_read_head(&conn, head.get());

    size_t blank = bytes.find("\r\n\r\n");
    if (blank == std::string::npos) FUZZ_CHECK(ok == 0);
    if (blank != std::string::npos && blank + 4 <= MAX_HEAD_BYTES) FUZZ_CHECK(ok == 1);
    if (ok) {
        size_t head_len = blank + 4;
        FUZZ_CHECK(head->len == head_len && head->data[head_len] == 0);
        FUZZ_CHECK(memcmp(head->data, bytes.data(), head_len) == 0);
        FUZZ_CHECK(conn.carry_pos == 0 && conn.carry_len <= bytes.size() - head_len);
        FUZZ_CHECK((conn.carry != nullptr) == (conn.carry_len > 0));
        std::string body = bytes.substr(head_len);
        std::string got = read_rest(&conn, how, static_cast<int64_t>(body.size()));
        if (how % 3 != 2) FUZZ_CHECK(got == body);
        HttpRequest req;
        http_parse_request(head.get(), &req);
        http_request_free(&req);
    }
    // Closing the server end first ends a send the reader left waiting.
    sock_close(server);
    sender.join();
    http_conn_release(&conn);
    return 0;
}
