#pragma once
// The listing endpoint.
#include "api/handler.h"

// GET/HEAD "/api/files": the listing of the folder in the query parameter "dir" with the
// inbox usage; 404 "文件夹不存在" when there is no such folder.
void api_files(const Config* config, HttpAnswer* answer, const char* query);
