// Test-only tool: streams the archive of the given files into a file with the ZIP64 limit
// given, so that independent readers can check every ZIP64 layout on small files.
//
//   zip_tool <zip64_from> <out.zip> <name> <path> [<name> <path> ...]
//
// Prints the planned length; exit code 0 when the archive came out whole, 1 otherwise.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/fs.h"
#include "zip/zip.h"

namespace {

int write_file(void* context, const void* bytes, size_t len) {
    return std::fwrite(bytes, 1, len, static_cast<FILE*>(context)) == len ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: zip_tool <zip64_from> <out.zip> <name> <path> ...\n");
        return 1;
    }
    uint64_t zip64_from = std::strtoull(argv[1], nullptr, 10);
    std::vector<ZipEntry> entries;
    for (int i = 3; i + 1 < argc; i += 2) {
        FileInfo info{};
        if (!fs_stat(argv[i + 1], &info)) return 1;
        entries.push_back({argv[i], argv[i + 1], info.size});
    }
    ZipPlan plan{};
    if (zip_plan(entries.data(), static_cast<int32_t>(entries.size()), zip64_from, &plan) !=
        ZIP_PLAN_OK)
        return 1;
    ZipStreamOwner stream(zip_stream_new(&plan));
    FILE* out = std::fopen(argv[2], "wb");
    if (!stream.get() || !out) return 1;
    ZipSink sink{write_file, out};
    int result = zip_stream_send(stream.get(), &sink);
    if (std::fclose(out) != 0) result = -1;
    std::printf("%" PRIu64 "\n", plan.total_bytes);
    return result == ZIP_STREAM_OK ? 0 : 1;
}
