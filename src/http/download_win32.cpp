// Downloads on Windows copy through memory: TransmitFile serves only two transfers at a time
// on client editions of Windows and at most 2 GiB per call, which would stall parallel
// downloads.
#include "http/download.h"

int http_send_file_direct(SockHandle, FsFile*, int64_t, int64_t) {
    return -1;
}
