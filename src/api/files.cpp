#include "api/files.h"

#include <cstdlib>

#include "base/json.h"
#include "base/strbuf.h"
#include "http/response.h"
#include "inbox/listing_cache.h"
#include "inbox/paths.h"
#include "inbox/usage.h"

void api_files(const Config* config, HttpAnswer* answer, const char* query) {
    char* dir = http_query_param(query, "dir");
    char* norm = rel_normalize(dir ? dir : "");
    StrBufOwner json;
    sb_append_str(json.get(), "{\"files\": ");
    if (!norm || list_folder_json_cached(config, json.get(), dir ? dir : "") != 0) {
        free(norm);
        free(dir);
        http_send_error(answer, "文件夹不存在", 404);
        return;
    }
    free(dir);
    sb_append_str(json.get(), ", \"dir\": ");
    json_append_string(json.get(), norm);
    free(norm);

    uint64_t files = 0, bytes = 0;
    usage_get(config, &files, &bytes);
    sb_appendf(json.get(), ", \"usage\": {\"count\": %llu, \"size\": %llu, \"warn\": %s}}",
               static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes),
               bytes >= USAGE_WARN_BYTES ? "true" : "false");
    http_send_json(answer, 200, json.get());
}
