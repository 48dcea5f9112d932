// Endpoint handlers called directly, without a socket: the request body is handed in as the
// connection's carried-over bytes and the answer is captured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "api/files.h"
#include "api/texts.h"
#include "http/request.h"
#include "http/response.h"
#include "inbox/inbox_fixture.h"

namespace {

class Handlers : public InboxFixture {
  protected:
    // A connection with no socket whose whole body is already at hand.
    static void body_conn(HttpConn* conn, HttpRequest* request, const std::string& body) {
        http_conn_init(conn, SOCK_INVALID);
        conn->carry = static_cast<char*>(malloc(body.size() + 1));
        memcpy(conn->carry, body.data(), body.size());
        conn->carry_len = body.size();
        *request = HttpRequest{};
        request->content_length = static_cast<int64_t>(body.size());
    }

    std::string post(ApiPostHandler handler, const std::string& body) {
        HttpConn conn;
        HttpRequest request;
        body_conn(&conn, &request, body);
        StrBufOwner sent;
        HttpAnswer answer = http_answer_captured(sent.get());
        handler(&config, &answer, &conn, &request, "");
        http_conn_release(&conn);
        return sent.c_str();
    }

    std::string get(ApiGetHandler handler, const char* query) {
        StrBufOwner sent;
        HttpAnswer answer = http_answer_captured(sent.get());
        handler(&config, &answer, query);
        return sent.c_str();
    }

    static std::string status_line(const std::string& answer) {
        return answer.substr(0, answer.find("\r\n"));
    }
    static std::string body_of(const std::string& answer) {
        size_t blank = answer.find("\r\n\r\n");
        return blank == std::string::npos ? "" : answer.substr(blank + 4);
    }
};

}  // namespace

TEST_F(Handlers, TextPostedIsListed) {
    std::string posted = post(api_text_post, "{\"text\": \"  你好  \", \"from\": \"phone\"}");
    EXPECT_EQ(status_line(posted), "HTTP/1.0 200 OK");
    EXPECT_EQ(body_of(posted), "{\"ok\": true}");

    std::string empty = post(api_text_post, "{\"text\": \"   \"}");
    EXPECT_EQ(status_line(empty), "HTTP/1.0 400 Bad Request");
    EXPECT_EQ(body_of(empty), "{\"error\": \"内容为空\"}");

    std::string listed = body_of(get(api_texts, ""));
    EXPECT_EQ(listed.rfind("{\"texts\": [", 0), 0u) << listed;
    EXPECT_NE(listed.find("\"text\": \"你好\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"from\": \"phone\""), std::string::npos) << listed;
}

TEST_F(Handlers, FilesOfAFolderAndOfOneThatIsMissing) {
    write_file(inbox / "相册" / "a.jpg", "abc");
    std::string listed = get(api_files, "dir=%E7%9B%B8%E5%86%8C");
    EXPECT_EQ(status_line(listed), "HTTP/1.0 200 OK");
    EXPECT_NE(body_of(listed).find("\"name\": \"a.jpg\""), std::string::npos) << listed;
    EXPECT_NE(body_of(listed).find("\"dir\": \"相册\""), std::string::npos) << listed;

    std::string missing = get(api_files, "dir=nowhere");
    EXPECT_EQ(status_line(missing), "HTTP/1.0 404 Not Found");
    EXPECT_EQ(body_of(missing), "{\"error\": \"文件夹不存在\"}");
}

// A texts.json that is there but cannot be read is never replaced by a list without the
// earlier texts: adding and deleting answer 500 and say why, the list shows nothing.
TEST_F(Handlers, TextsStoreThatCannotBeReadIsLeftAlone) {
    std::filesystem::create_directories(state / "texts.json" / "inside");
    std::string posted = post(api_text_post, "{\"text\": \"hello\"}");
    EXPECT_EQ(status_line(posted), "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(body_of(posted),
              "{\"error\": \"文字记录文件 texts.json 读不出来，这条文字没有保存，请稍后再试\"}");
    std::string deleted = post(api_text_delete, "{\"id\": \"1\"}");
    EXPECT_EQ(status_line(deleted), "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(body_of(deleted),
              "{\"error\": \"文字记录文件 texts.json 读不出来，没能删除，请稍后再试\"}");
    EXPECT_EQ(body_of(get(api_texts, "")), "{\"texts\": []}");
    EXPECT_TRUE(std::filesystem::is_directory(state / "texts.json" / "inside"));
}
