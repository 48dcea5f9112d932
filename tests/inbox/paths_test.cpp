#include "inbox/paths.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/text.h"

namespace fs = std::filesystem;

namespace {

const std::string ZHONG = "\xE4\xB8\xAD";       // U+4E2D, three bytes
const std::string EMOJI = "\xF0\x9F\x98\x80";   // U+1F600, four bytes
const std::string NBSP = "\xC2\xA0";            // U+00A0
const std::string IDEO_SPACE = "\xE3\x80\x80";  // U+3000
const std::string ZW_SPACE = "\xE2\x80\x8B";    // U+200B, not white space
const std::string FALLBACK = "\xE6\x9C\xAA\xE5\x91\xBD\xE5\x90\x8D\xE6\x96\x87\xE4\xBB\xB6";

std::string repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; i++) out += piece;
    return out;
}

std::string take(char* text) {
    EXPECT_NE(text, nullptr);
    std::string copy = text ? text : "<null>";
    free(text);
    return copy;
}

std::string sanitize(const std::string& name) {
    return take(name_sanitize(name.c_str()));
}

// A configuration of the test's own for the given inbox folder.
Config inbox_config(const std::string& inbox) {
    Config config{};
    EXPECT_EQ(config_init(&config, inbox.c_str(), "", DEFAULT_PORT), 0);
    return config;
}

using Parts = std::vector<std::string>;

// rel_split as a list, or {"<rejected>"}.
Parts split(const char* rel) {
    char** components = nullptr;
    int count = rel_split(rel, &components);
    if (count < 0) {
        EXPECT_EQ(components, nullptr);
        return {"<rejected>"};
    }
    EXPECT_EQ(rel_split(rel, nullptr), count);  // counting alone agrees
    Parts parts(components, components + count);
    rel_free(components, count);
    return parts;
}

Parts split_upload(const char* rel) {
    int count = -1;
    char** components = rel_split_upload(rel, &count);
    EXPECT_GE(count, 0);
    EXPECT_EQ(components == nullptr, count == 0);
    Parts parts(components, components + count);
    rel_free(components, count);
    return parts;
}

std::string join(const Parts& parts) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : "/") + part;
    return out;
}

// A temporary folder removed at the end of the test.
struct TempDir {
    fs::path path;
    TempDir() {
        static int serial = 0;
        path = fs::temp_directory_path() /
               ("skf_paths_test_" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                std::to_string(reinterpret_cast<uintptr_t>(this)) + "_" + std::to_string(serial++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void touch(const std::string& name) const { std::ofstream(path / name) << "x"; }
};

// path_unique into dir; the created name (last component) or "<failed>".
std::string unique_name(const TempDir& dir, const std::string& name, PathMake what,
                        PathCreated* keep = nullptr) {
    PathCreated made{};
    if (path_unique(dir.path.c_str(), name.c_str(), what, nullptr, &made) != 0) {
        EXPECT_EQ(made.path, nullptr);
        EXPECT_EQ(made.file, nullptr);
        return "<failed>";
    }
    std::string path = made.path;
    EXPECT_EQ(path.rfind(dir.path.string() + "/", 0), 0u) << path;
    EXPECT_EQ(made.made_dir, what == PATH_MAKE_DIR ? 1 : 0);
    EXPECT_EQ(made.file != nullptr, what == PATH_MAKE_FILE);
    EXPECT_EQ(fs::is_directory(fs::symlink_status(path)), what == PATH_MAKE_DIR);
    if (keep) {
        *keep = made;
    } else {
        fs_close(made.file);
        free(made.path);
    }
    return path.substr(path.rfind('/') + 1);
}

// The rules every stored name must meet so that the strict split reads it back unchanged.
void expect_storable(const std::string& name, size_t max_bytes) {
    SCOPED_TRACE(testing::PrintToString(name));
    ASSERT_FALSE(name.empty());
    EXPECT_NE(name[0], '.');
    EXPECT_NE(name.back(), '.');
    EXPECT_EQ(name.find_first_of("/\\:*?\"<>|"), std::string::npos);
    EXPECT_LE(utf8_count(name.c_str()), NAME_MAX_CHARS);
    EXPECT_LE(name.size(), max_bytes);
    EXPECT_FALSE(name_is_reserved(name.c_str()));
    EXPECT_EQ(take(utf8_trim(name.c_str())), name);
    EXPECT_EQ(split(name.c_str()), Parts{name});
}

}  // namespace

TEST(PathSplitExt, StemAndExtension) {
    struct Case {
        std::string name, stem, ext;
    };
    const Case cases[] = {
        {"a.tar.gz", "a.tar", ".gz"},
        {".profile", ".profile", ""},
        {"..x", "..x", ""},
        {"a.", "a", "."},
        {"notes", "notes", ""},
        {"", "", ""},
        {"dir.d/file", "dir.d/file", ""},  // the dot is not in the last component
        {"dir\\a.b", "dir\\a", ".b"},
        {"dir/.hidden", "dir/.hidden", ""},
        {"dir/..x.y", "dir/..x", ".y"},
        {repeat("a", 5000) + ".txt", repeat("a", 4095), ".txt"},
    };
    for (const Case& c : cases) {
        char stem[PATH_STEM_BYTES];
        const char* ext = path_split_ext(c.name.c_str(), stem);
        EXPECT_EQ(std::string(stem), c.stem) << c.name;
        EXPECT_EQ(std::string(ext), c.ext) << c.name;
        EXPECT_EQ(ext + strlen(ext), c.name.c_str() + c.name.size());  // points into the name
    }
}

TEST(NameSanitize, CleansStripsAndDefusesNames) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"LPT9.log", "_LPT9.log"},
        {"com1", "_com1"},
        {"COM0", "COM0"},
        {"CON.txt", "_CON.txt"},
        {"nul", "_nul"},
        {"con.tar.gz", "_con.tar.gz"},  // Windows opens the device for any extension
        {"CON .txt", "_CON .txt"},
        {"COM\xC2\xB9", "_COM\xC2\xB9"},
        {"CONSOLE.txt", "CONSOLE.txt"},
        {"..", FALLBACK},
        {" . .. . ", FALLBACK},
        {"", FALLBACK},
        {"dir/", FALLBACK},
        {".profile", "profile"},
        {"report...", "report"},
        {"a:b|c", "a_b_c"},
        {"a\tb", "a_b"},
        {"a\"*<>?b\x01\x1f", "a_____b__"},
        {"dir/sub\\file.txt", "file.txt"},
        {"\x7f" + ZHONG, "\x7f" + ZHONG},
        {"a" + NBSP, "a"},
        {IDEO_SPACE + " .x. " + "\xE2\x80\xAF", "x"},
        {". " + NBSP + ".a." + IDEO_SPACE + ".", "a"},  // dots and spaces in any mixture
        {" a b ", "a b"},
        {"a" + ZW_SPACE, "a" + ZW_SPACE},
        {"\x80" + NBSP, "\x80"},
    };
    for (const Case& c : cases) EXPECT_EQ(sanitize(c.in), c.out) << testing::PrintToString(c.in);
    EXPECT_EQ(take(name_sanitize(nullptr)), FALLBACK);
}

TEST(NameSanitize, LengthCuts) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {repeat("a", 200) + ".pdf", repeat("a", 150) + ".pdf"},
        {repeat("a", 160), repeat("a", 160)},
        {repeat("a", 156) + ".pdf", repeat("a", 156) + ".pdf"},
        {repeat("a", 161), repeat("a", 150)},
        // An extension too long to keep beside 150 characters: the first 160 characters.
        {"a." + repeat("b", 200), "a." + repeat("b", 158)},
        // A cut that ends in white space or dots, or leaves a device name, is cleaned again.
        {repeat("a", 149) + " " + repeat("b", 20), repeat("a", 149)},
        {repeat("a", 159) + "." + repeat("b", 200), repeat("a", 159)},
        {"CON" + repeat(" ", 157) + "x", "_CON"},
    };
    for (const Case& c : cases) EXPECT_EQ(sanitize(c.in), c.out) << c.in.size();
}

TEST(NameSanitize, PosixCutsNamesToFitTheByteLimitWithRoomForANumber) {
    ASSERT_EQ(path_name_size(ZHONG.c_str(), ZHONG.size()), ZHONG.size());  // bytes on POSIX
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {repeat(ZHONG, 200) + ".pdf", repeat(ZHONG, 79) + ".pdf"},  // 241 bytes
        {repeat(ZHONG, 81), repeat(ZHONG, 81)},                     // exactly 243 bytes
        {repeat(ZHONG, 82), repeat(ZHONG, 81)},
        {repeat(EMOJI, 70), repeat(EMOJI, 60)},
        {"a." + repeat(ZHONG, 100), "a." + repeat(ZHONG, 80)},  // the extension alone is too big
        {repeat(ZHONG, 80) + " " + repeat(ZHONG, 10), repeat(ZHONG, 80)},
    };
    for (const Case& c : cases) EXPECT_EQ(sanitize(c.in), c.out) << c.in.size();
}

TEST(NameNumbered, NumberGoesBeforeTheExtensionAndStaysWithinLimits) {
    struct Case {
        std::string name;
        int number;
        std::string out;
    };
    const Case cases[] = {
        {"a.txt", 1, "a(1).txt"},
        {"notes", 2, "notes(2)"},
        {"a.tar.gz", 1, "a.tar(1).gz"},
        {repeat("a", 150) + ".pdf", 10, repeat("a", 150) + "(10).pdf"},
        {repeat("a", 156) + ".pdf", 1, repeat("a", 153) + "(1).pdf"},
        {repeat("a", 160), 1, repeat("a", 157) + "(1)"},
        {"a." + repeat("b", 158), 1, "a." + repeat("b", 155) + "(1)"},
        {repeat(ZHONG, 81), 1, repeat(ZHONG, 81) + "(1)"},
        {repeat(ZHONG, 81), INT_MAX, repeat(ZHONG, 81) + "(2147483647)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(name_numbered(c.name.c_str(), c.number)), c.out) << c.name;
}

TEST(RelSplit, StrictSplitTable) {
    struct Case {
        const char* in;
        Parts out;
    };
    const Parts rejected{"<rejected>"};
    const std::string spaced = IDEO_SPACE + "a" + NBSP + "/b";
    const Case cases[] = {
        {nullptr, {}},
        {"", {}},
        {"/", {}},
        {"///", {}},
        {"\\\\", {}},
        {"/a/b/", {"a", "b"}},
        {"a\\b/c", {"a", "b", "c"}},
        {"a / b", {"a", "b"}},
        {spaced.c_str(), {"a", "b"}},
        {"a"
         "\xE2\x80\x8B"
         "/b",
         {"a\xE2\x80\x8B", "b"}},
        {"photos/2024 trip/IMG 1.jpg", {"photos", "2024 trip", "IMG 1.jpg"}},
        {"_CON/x", {"_CON", "x"}},
        {"a//b", rejected},
        {"a/ /b", rejected},
        {"../x", rejected},
        {"./x", rejected},
        {"a/..", rejected},
        {"a/.hidden", rejected},
        {".skiffbox", rejected},
        {".skiffbox/files.json", rejected},
        {"a\\.skiffbox", rejected},
        {"D:/x", rejected},
        {"a/b:c", rejected},
        {"CON", rejected},  // device names never reach the platform
        {"a/nul.txt", rejected},
        {"lpt1 /x", rejected},
    };
    for (const Case& c : cases)
        EXPECT_EQ(split(c.in), c.out)
            << (c.in ? testing::PrintToString(std::string(c.in)) : "null");
}

TEST(RelSplit, LengthLimits) {
    const std::string component = repeat("a", 160);
    std::string path;  // 6 components of 160 plus 5 slashes: 965 characters
    for (int i = 0; i < 6; i++) path += (i ? "/" : "") + component;
    std::string exact = path + "/" + repeat("b", 1024 - path.size() - 1);
    ASSERT_EQ(exact.size(), 1024u);
    EXPECT_EQ(split(exact.c_str()).size(), 7u);
    EXPECT_EQ(split(("/" + exact + "/").c_str()).size(), 7u);  // outer slashes do not count
    EXPECT_EQ(split((exact + "b").c_str()), Parts{"<rejected>"});
    EXPECT_EQ(split((component + "a").c_str()), Parts{"<rejected>"});
    EXPECT_EQ(split(repeat(ZHONG, 160).c_str()), Parts{repeat(ZHONG, 160)});
    EXPECT_EQ(split(repeat(ZHONG, 161).c_str()), Parts{"<rejected>"});
    // White space around a component does not count against it.
    EXPECT_EQ(split((" " + component + IDEO_SPACE).c_str()), Parts{component});
}

TEST(RelJoinAndFromAbs, InsideTheInboxOnly) {
    const Config config = inbox_config("/srv/inbox");
    char a[] = "a", b[] = "b", dots[] = "..", hidden[] = ".x", slash[] = "a/b", back[] = "a\\b",
         colon[] = "a:b", empty[] = "";
    struct Case {
        std::vector<char*> parts;
        const char* out;
    };
    const Case cases[] = {
        {{}, "/srv/inbox"},     {{a, b}, "/srv/inbox/a/b"}, {{dots}, nullptr},
        {{a, hidden}, nullptr}, {{slash}, nullptr},         {{back}, nullptr},
        {{colon}, nullptr},     {{empty}, nullptr},         {{a, nullptr}, nullptr},
    };
    for (const Case& c : cases) {
        char* joined =
            rel_join(&config, const_cast<char**>(c.parts.data()), static_cast<int>(c.parts.size()));
        if (c.out)
            EXPECT_EQ(take(joined), c.out);
        else
            EXPECT_EQ(joined, nullptr);
    }
    EXPECT_EQ(take(rel_join(&config, nullptr, -1)), "/srv/inbox");

    struct FromCase {
        const char* in;
        const char* out;
    };
    const FromCase from[] = {
        {"/srv/inbox/photos/a.jpg", "photos/a.jpg"},
        {"/srv/inbox", ""},
        {"/srv/inbox/", ""},
        {"/srv/inbox2/x", nullptr},
        {"/srv/inbo", nullptr},
        {"/elsewhere/a", nullptr},
        {nullptr, nullptr},
    };
    for (const FromCase& c : from) {
        char* rel = rel_from_abs(&config, c.in);
        if (c.out)
            EXPECT_EQ(take(rel), c.out) << c.in;
        else
            EXPECT_EQ(rel, nullptr) << (c.in ? c.in : "null");
    }
    const Config root = inbox_config("/");
    EXPECT_EQ(take(rel_from_abs(&root, "/a/b")), "a/b");
}

// A link anywhere before the last component would be followed out of the inbox, so the join
// refuses it; the last component may be a link, which the file-system layer never follows.
TEST(RelJoin, RefusesLinksOnTheWay) {
    TempDir dir;
    fs::create_directories(dir.path / "inbox" / "real" / "sub");
    fs::create_directories(dir.path / "outside");
    std::ofstream(dir.path / "outside" / "secret.txt") << "secret";
    fs::create_directory_symlink(dir.path / "outside", dir.path / "inbox" / "linkdir");
    fs::create_directory_symlink(dir.path / "outside", dir.path / "inbox" / "real" / "deep");
    fs::create_symlink(dir.path / "outside" / "secret.txt", dir.path / "inbox" / "filelink");
    std::string inbox = (dir.path / "inbox").string();
    ASSERT_LT(inbox.size(), sizeof(Config::inbox_dir));
    const Config config = inbox_config(inbox);

    struct Case {
        const char* rel;
        bool joined;
    };
    const Case cases[] = {
        {"linkdir/secret.txt", false},
        {"real/deep/secret.txt", false},
        {"real/deep/x/y", false},
        {"filelink/x", false},
        {"linkdir", true},
        {"real/deep", true},
        {"filelink", true},
        {"real/sub/new.txt", true},
        {"missing/a/b", true},
        {"", true},
    };
    for (const Case& c : cases) {
        char** components = nullptr;
        int count = rel_split(c.rel, &components);
        ASSERT_GE(count, 0) << c.rel;
        char* joined = rel_join(&config, components, count);
        rel_free(components, count);
        if (c.joined)
            EXPECT_EQ(take(joined), inbox + (count ? "/" : "") + c.rel) << c.rel;
        else
            EXPECT_EQ(joined, nullptr) << c.rel;
    }
}

TEST(RelSplitUpload, LenientSplitTable) {
    struct Case {
        std::string in;
        Parts out;
    };
    const Case cases[] = {
        {"../../etc/passwd", {"etc", "passwd"}},
        {"photos\\trip\\./a.jpg", {"photos", "trip", "a.jpg"}},
        {"a/<b>/c?.txt", {"a", "_b_", "c_.txt"}},
        {"", {}},
        {"/./../", {}},
        {" a / ... /CON", {"a", FALLBACK, "_CON"}},
        {"x" + NBSP + "/y.", {"x", "y"}},
        {".git/config", {"git", "config"}},
        {"a:b/c|d", {"a_b", "c_d"}},
    };
    for (const Case& c : cases) EXPECT_EQ(split_upload(c.in.c_str()), c.out) << c.in;
    std::string many;
    for (int i = 0; i < 40; i++) many += "d" + std::to_string(i) + "/";
    EXPECT_EQ(split_upload(many.c_str()).size(), 40u);  // the array grows past its first 8
}

// For every name the upload can store, the strict split of its relative path gives back
// exactly its components, numbered names included.
TEST(RelSplitUpload, EveryStoredPathSplitsBackToItsComponents) {
    const std::string pieces[] = {
        "a",   "Z",   "0",    ".",    "..",   " ",    "\t",  "/",        "\\",     ":",
        "*",   "?",   "|",    "\"",   "<",    "\n",   NBSP,  IDEO_SPACE, ZW_SPACE, "\xE2\x80\xAF",
        ZHONG, EMOJI, "\x80", "\xE2", "\xC2", "\x7f", "CON", "nul",      "LPT1",   "COM\xC2\xB3",
        "(",   "%",   "~",    "-",    "_",
    };
    std::mt19937 rng(20240611);
    std::vector<std::string> paths = {
        "CON.txt",
        "a" + NBSP,
        " .a. ",
        "x\xE2",
        "a\xE2/b",
        repeat(".", 300),
        repeat(ZHONG, 200) + "." + repeat(ZHONG, 200),
        repeat("a", 160) + "." + repeat("b", 3),
    };
    for (int i = 0; i < 3000; i++) {
        std::uniform_int_distribution<size_t> length(0, i % 10 == 0 ? 400 : 30);
        std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
        // Every tenth path is long and mostly one component, so that the cuts are exercised.
        std::string path;
        for (size_t n = length(rng); n > 0; n--) {
            const std::string& piece = pieces[pick(rng)];
            if (i % 10 == 0 && (piece == "/" || piece == "\\") && n % 8 != 0) continue;
            path += piece;
        }
        paths.push_back(path);
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(testing::PrintToString(path));
        Parts parts = split_upload(path.c_str());
        for (const std::string& part : parts)
            expect_storable(part, NAME_MAX_SIZE - NAME_NUMBER_ROOM);
        if (parts.empty()) continue;
        if (utf8_count(join(parts).c_str()) <= REL_MAX_CHARS) {
            EXPECT_EQ(split(join(parts).c_str()), parts);
        }
        for (int number : {1, 99999, INT_MAX}) {
            Parts numbered = parts;
            numbered[0] = take(name_numbered(parts[0].c_str(), number));
            numbered.back() = take(name_numbered(parts.back().c_str(), number));
            expect_storable(numbered[0], NAME_MAX_SIZE);
            expect_storable(numbered.back(), NAME_MAX_SIZE);
            if (utf8_count(join(numbered).c_str()) <= REL_MAX_CHARS) {
                EXPECT_EQ(split(join(numbered).c_str()), numbered);
            }
        }
    }
}

TEST(PathUnique, NumbersTakenNamesAndCreatesInOneStep) {
    TempDir dir;
    dir.touch("a.txt");
    dir.touch("a(1).txt");
    dir.touch("a.tar.gz");
    fs::create_directory(dir.path / "photos");
    fs::create_directory(dir.path / "taken.txt");
    fs::create_symlink(dir.path / "outside_target", dir.path / "link.txt");  // dangling

    EXPECT_EQ(unique_name(dir, "a.txt", PATH_MAKE_FILE), "a(2).txt");
    EXPECT_EQ(unique_name(dir, "a.tar.gz", PATH_MAKE_FILE), "a.tar(1).gz");
    EXPECT_EQ(unique_name(dir, "photos", PATH_MAKE_DIR), "photos(1)");
    EXPECT_EQ(unique_name(dir, "photos", PATH_MAKE_DIR), "photos(2)");
    EXPECT_EQ(unique_name(dir, "taken.txt", PATH_MAKE_FILE), "taken(1).txt");  // a folder
    EXPECT_EQ(unique_name(dir, "a.txt", PATH_MAKE_DIR), "a(3).txt");
    EXPECT_EQ(unique_name(dir, "new", PATH_MAKE_FILE), "new");
    EXPECT_EQ(unique_name(dir, "../x/../CON", PATH_MAKE_FILE), "_CON");
    // A link is a taken name: nothing is written through it.
    EXPECT_EQ(unique_name(dir, "link.txt", PATH_MAKE_FILE), "link(1).txt");
    EXPECT_FALSE(fs::exists(dir.path / "outside_target"));
    EXPECT_EQ(fs::file_size(dir.path / "a.txt"), 1u);  // existing files untouched

    PathCreated made{};
    ASSERT_EQ(unique_name(dir, "data.bin", PATH_MAKE_FILE, &made), "data.bin");
    EXPECT_EQ(fs_write_all(made.file, "hello", 5), 0);
    EXPECT_EQ(fs_close(made.file), 0);
    free(made.path);
    EXPECT_EQ(fs::file_size(dir.path / "data.bin"), 5u);
}

TEST(PathUnique, FileNamesExplorerActsOnGetAnExtensionOfTheirOwn) {
    struct Case {
        std::string in, file;
    };
    const std::string x150(150, 'x');
    const Case cases[] = {
        {"x.scf", "x.scf.txt"},
        {"DeskTop.INI", "DeskTop.INI.txt"},
        {"a.LNK", "a.LNK.txt"},
        {"b.library-ms", "b.library-ms.txt"},
        {"c.SearchConnector-ms", "c.SearchConnector-ms.txt"},
        {"d.url ", "d.url.txt"},  // what Windows would store as d.url
        {"dir/desktop.ini", "desktop.ini.txt"},
        {"con.lnk", "_con.lnk.txt"},
        {"x.\u017Fcf", "x.\u017Fcf.txt"},              // long s: Windows reads it as S
        {"desktop.\u0131ni", "desktop.\u0131ni.txt"},  // dotless i
        {"e.url.txt", "e.url.txt"},
        {"desktop.ini.bak", "desktop.ini.bak"},
        {"f.lnk2", "f.lnk2"},
        {"scf", "scf"},
        {".lnk", "lnk"},
        // The length cut of a long extension leaves a name ending in .lnk; it is defused too.
        {std::string(156, 'x') + ".lnk." + std::string(25, 'e'), x150 + ".txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        TempDir dir;
        EXPECT_EQ(unique_name(dir, c.in, PATH_MAKE_FILE), c.file);
        EXPECT_FALSE(name_is_shell_active(c.file.c_str()));
    }
    // Numbering keeps the defusing extension last; folders are not acted on and keep their name.
    TempDir dir;
    EXPECT_EQ(unique_name(dir, "x.scf", PATH_MAKE_FILE), "x.scf.txt");
    EXPECT_EQ(unique_name(dir, "x.scf", PATH_MAKE_FILE), "x.scf(1).txt");
    EXPECT_EQ(unique_name(dir, "y.lnk", PATH_MAKE_DIR), "y.lnk");
}

TEST(PathUnique, FailsWithoutLoopingWhenTheFolderIsMissing) {
    TempDir dir;
    PathCreated made{reinterpret_cast<char*>(1), nullptr, 1};
    std::string missing = (dir.path / "missing").string();
    EXPECT_EQ(path_unique(missing.c_str(), "a.txt", PATH_MAKE_FILE, nullptr, &made), -1);
    EXPECT_EQ(made.path, nullptr);
    EXPECT_EQ(made.made_dir, 0);
    EXPECT_EQ(path_unique(missing.c_str(), "a", PATH_MAKE_DIR, nullptr, &made), -1);
    dir.touch("file");
    std::string under_file = (dir.path / "file").string();
    EXPECT_EQ(path_unique(under_file.c_str(), "a", PATH_MAKE_FILE, nullptr, &made), -1);
}

TEST(PathUnique, ConcurrentRequestsForOneNameNeverShareAnEntry) {
    TempDir dir;
    constexpr int THREADS = 8, EACH = 10;
    std::vector<std::vector<std::string>> names(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([&, t] {
            // Each thread is one request that remembers its own numbers; the others' creates
            // are what it has not seen.
            PathNumbers numbers{};
            for (int i = 0; i < EACH; i++) {
                PathCreated made{};
                if (path_unique(dir.path.c_str(), "same.txt", PATH_MAKE_FILE, &numbers, &made) != 0)
                    continue;
                std::string mark = std::to_string(t);
                fs_write_all(made.file, mark.data(), mark.size());
                fs_close(made.file);
                names[t].push_back(made.path);
                free(made.path);
            }
            path_numbers_free(&numbers);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> all;
    for (int t = 0; t < THREADS; t++) {
        for (const std::string& path : names[t]) {
            all.insert(path);
            std::ifstream in(path);
            std::string content;
            in >> content;
            EXPECT_EQ(content, std::to_string(t)) << path;  // nobody else wrote into it
        }
    }
    EXPECT_EQ(all.size(), size_t{THREADS * EACH});
    EXPECT_TRUE(fs::exists(dir.path / "same.txt"));
    EXPECT_TRUE(fs::exists(dir.path / ("same(" + std::to_string(THREADS * EACH - 1) + ").txt")));
}

TEST(PathJoin, UsesThePlatformSeparator) {
    EXPECT_EQ(FS_SEP, '/');
    EXPECT_EQ(take(path_join("/srv/inbox", "a.txt")), "/srv/inbox/a.txt");
    EXPECT_EQ(take(path_join("/", "a")), "/a");
}
