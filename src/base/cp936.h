#pragma once
// Code page 936 (GBK), the encoding in which older Chinese Windows browsers and tools send raw
// file names in multipart headers.
#include <cstddef>

// Decodes length bytes of GBK text and returns them as a newly allocated NUL-terminated UTF-8
// text that the caller frees, or null when the platform cannot convert or memory runs out.
// Bytes that are not valid GBK do not fail the conversion; each becomes a substitute character.
char* cp936_to_utf8(const char* bytes, size_t length);
