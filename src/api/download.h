#pragma once
// File downloads under "/f/": every inbox file by its relative path, with one byte range so
// phones can seek in videos and resume downloads.
#include "base/config.h"
#include "http/response.h"
#include "http/request.h"

// Answers GET or HEAD of "/f/" + relative_path completely: 200 with the whole file, 206 with
// one range, 404 "文件不存在" for a refused, empty, missing or non-file path, 416 for a range
// beyond the file. relative_path is percent-decoded, query is not. HEAD sends the head only.
void api_serve_file(const Config* config, HttpAnswer* answer, const char* relative_path,
                    const char* query, const HeaderList* headers, int is_head);
