#include "inbox/mime.h"

#include <cstring>

namespace {

constexpr const char* OCTET_STREAM = "application/octet-stream";

struct MimeRow {
    const char* ext;
    const char* type;
};

// Searched in this order; the first exact match wins.
constexpr MimeRow MIME_TABLE[] = {
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".png", "image/png"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".webp", "image/webp"},
    {".svg", "image/svg+xml"},
    {".ico", "image/vnd.microsoft.icon"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".heic", "image/heic"},
    {".heif", "image/heif"},
    {".mp4", "video/mp4"},
    {".m4v", "video/mp4"},
    {".mov", "video/quicktime"},
    {".avi", "video/x-msvideo"},
    {".mkv", "video/x-matroska"},
    {".webm", "video/webm"},
    {".wmv", "video/x-ms-wmv"},
    {".flv", "video/x-flv"},
    {".mp3", "audio/mpeg"},
    {".wav", "audio/x-wav"},
    {".m4a", "audio/mp4"},
    {".aac", "audio/aac"},
    {".flac", "audio/flac"},
    {".ogg", "audio/ogg"},
    {".oga", "audio/ogg"},
    {".wma", "audio/x-ms-wma"},
    {".opus", "audio/opus"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".rar", "application/vnd.rar"},
    {".7z", "application/x-7z-compressed"},
    {".tar", "application/x-tar"},
    {".gz", "application/gzip"},
    {".bz2", "application/x-bzip2"},
    {".xz", "application/x-xz"},
    {".doc", "application/msword"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xls", "application/vnd.ms-excel"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".txt", "text/plain"},
    {".md", "text/markdown"},
    {".log", "text/plain"},
    {".csv", "text/csv"},
    {".json", "application/json"},
    {".xml", "text/xml"},
    {".html", "text/html"},
    {".htm", "text/html"},
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".mjs", "text/javascript"},
    {".exe", "application/x-msdownload"},
    {".apk", "application/vnd.android.package-archive"},
};
static_assert(sizeof(MIME_TABLE) / sizeof(MIME_TABLE[0]) == 57);

struct KindRow {
    const char* ext;
    const char* kind;
};

// Kinds by extension for files whose MIME type is not image, video or audio. The office
// suite's own formats (.wps, .et, .dps) are listed by kind though the MIME table does not
// know them.
constexpr KindRow KIND_TABLE[] = {
    {".pdf", "pdf"},     {".zip", "archive"}, {".rar", "archive"}, {".7z", "archive"},
    {".tar", "archive"}, {".gz", "archive"},  {".doc", "doc"},     {".docx", "doc"},
    {".wps", "doc"},     {".xls", "sheet"},   {".xlsx", "sheet"},  {".et", "sheet"},
    {".csv", "sheet"},   {".ppt", "slide"},   {".pptx", "slide"},  {".dps", "slide"},
    {".txt", "text"},    {".md", "text"},     {".log", "text"},    {".json", "text"},
    {".xml", "text"},    {".html", "text"},   {".htm", "text"},
};

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

void mime_extension(const char* name, char ext[MIME_EXT_BYTES]) {
    ext[0] = 0;
    if (!name) return;
    const char* component = name;
    for (const char* p = name; *p; p++)
        if (*p == '/' || *p == '\\') component = p + 1;
    const char* dot = strrchr(component, '.');
    if (!dot) return;
    size_t n = 0;
    for (; dot[n] && n < MIME_EXT_BYTES - 1; n++) {
        char c = dot[n];
        ext[n] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    ext[n] = 0;
}

const char* mime_for_name(const char* name) {
    char ext[MIME_EXT_BYTES];
    mime_extension(name, ext);
    if (!ext[0]) return OCTET_STREAM;
    for (const MimeRow& row : MIME_TABLE)
        if (strcmp(row.ext, ext) == 0) return row.type;
    return OCTET_STREAM;
}

const char* file_kind(const char* name, const char* mime) {
    if (mime) {
        if (starts_with(mime, "image/")) return "image";
        if (starts_with(mime, "video/")) return "video";
        if (starts_with(mime, "audio/")) return "audio";
    }
    char ext[MIME_EXT_BYTES];
    mime_extension(name, ext);
    for (const KindRow& row : KIND_TABLE)
        if (strcmp(row.ext, ext) == 0) return row.kind;
    return "file";
}
