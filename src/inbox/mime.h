#pragma once
// The extension-to-MIME table and the file kinds the page picks icons and previews by.
#include <cstddef>

constexpr size_t MIME_EXT_BYTES = 64;

// Writes into ext the extension of the last component of name (after the last '/' or '\\'):
// from its last '.' on, dot included, 'A'-'Z' lowered, cut to 63 bytes; "" when that
// component has no '.'. A component that begins with a dot is all extension (".bashrc").
void mime_extension(const char* name, char ext[MIME_EXT_BYTES]);
// The MIME type for the name's extension, or "application/octet-stream". Static text.
const char* mime_for_name(const char* name);
// The kind the page shows for a file: "image", "video", "audio", "pdf", "archive", "doc",
// "sheet", "slide", "text" or "file". Static text.
const char* file_kind(const char* name, const char* mime);
