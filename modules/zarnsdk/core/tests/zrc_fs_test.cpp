#include "zarn/support/zrc_fs.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log_capture.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Fault injection for fsutils_cp: sendfile copies this many bytes, then fails with EIO.
long sendfile_budget = -1;  // -1: no fault

class FsUtils : public ::testing::Test {
protected:
    void SetUp() override {
        ::umask(022);
        log_capture::clear();
        sendfile_budget = -1;
    }

    std::string path(const std::string &relative) const { return root + "/" + relative; }

    static void write(const std::string &file, const std::string &text, mode_t mode = 0644) {
        std::ofstream(file, std::ios::binary) << text;
        ::chmod(file.c_str(), mode);
    }
    static std::string read(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static mode_t mode_of(const std::string &file) {
        struct stat st;
        return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    zarn_test::temp_dir dir{"zrc-fs-test"};
    const std::string &root = dir.path();
};

TEST_F(FsUtils, CreateDirMakesEveryMissingParent) {
    EXPECT_EQ(0, fsutils_create_dir_r(0755, path("a/b/c").c_str()));
    for (const char *dir : {"a", "a/b", "a/b/c"}) {
        EXPECT_TRUE(fs::is_directory(path(dir))) << dir;
        EXPECT_EQ(0755u, mode_of(path(dir))) << dir;
    }
    EXPECT_EQ(0, fsutils_create_dir_r(0755, path("a/b/c").c_str()));  // already there
    EXPECT_EQ(0, fsutils_create_dir_r(0700, path("p//q/").c_str()));
    EXPECT_TRUE(fs::is_directory(path("p/q")));
    EXPECT_EQ(0, fsutils_create_dir_r(0755, "/"));
}

TEST_F(FsUtils, CreateDirRefusesWhatItCannotMake) {
    ASSERT_EQ(0, ::chdir(root.c_str()));
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, "relative/dir"));
    EXPECT_FALSE(fs::exists(path("relative")));
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, ""));
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, nullptr));

    write(path("file"), "x");
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, path("file").c_str()));
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, path("file/y").c_str()));

    const std::string longPath = path("d/") + std::string(4096 - path("d/").size(), 'x');
    ASSERT_EQ(4096u, longPath.size());
    EXPECT_EQ(-1, fsutils_create_dir_r(0755, longPath.c_str()));
    EXPECT_FALSE(fs::exists(path("d")));
    ASSERT_EQ(0, ::chdir("/"));
}

TEST_F(FsUtils, MkdirInPlaceLeavesTheCallersTextAsItWas) {
    std::string made = path("m/n/o");
    const std::string original = made;
    EXPECT_EQ(0, fsutils_mkdir_r(0755, &made[0], made.size()));
    EXPECT_EQ(original, made);
    EXPECT_TRUE(fs::is_directory(original));

    write(path("f"), "x");
    std::string blocked = path("f/g/h");
    const std::string blockedOriginal = blocked;
    EXPECT_EQ(-1, fsutils_mkdir_r(0755, &blocked[0], blocked.size()));
    EXPECT_EQ(blockedOriginal, blocked);
    EXPECT_EQ(-1, fsutils_mkdir_r(0755, &made[0], made.size() - 1));  // length must match the text
}

TEST_F(FsUtils, RemoveTreeNeverFollowsSymbolicLinks) {
    fs::create_directories(path("tree/sub/deeper"));
    write(path("tree/file"), "1");
    write(path("tree/sub/deeper/file"), "2");
    fs::create_directories(path("outside/keep"));
    write(path("outside/keep/precious"), "3");
    fs::create_directory_symlink(path("outside"), path("tree/sub/link"));

    EXPECT_EQ(0, fsutils_rm_r(path("tree").c_str()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
    EXPECT_EQ("3", read(path("outside/keep/precious")));

    fs::create_directory_symlink(path("outside"), path("toplink"));
    EXPECT_EQ(0, fsutils_rm_r((path("toplink") + "/").c_str()));  // a trailing slash does not follow it either
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("toplink"))));
    EXPECT_EQ("3", read(path("outside/keep/precious")));
}

TEST_F(FsUtils, RemoveTreeStatuses) {
    write(path("plain"), "x");
    EXPECT_EQ(0, fsutils_rm_r(path("plain").c_str()));
    EXPECT_FALSE(fs::exists(path("plain")));
    EXPECT_EQ(-2, fsutils_rm_r(nullptr));
    EXPECT_EQ(-2, fsutils_rm_r(""));
    EXPECT_EQ(-10, fsutils_rm_r(path("missing").c_str()));
    EXPECT_EQ(-11, fsutils_rm_r(std::string(4096, 'a').c_str()));
    EXPECT_TRUE(log_capture::has_prefix(1, "fsutils_rm_r", "fail: path is too long (size:4096, max-size:4095)"));
}

TEST_F(FsUtils, ClearDirKeepsTheDirectory) {
    fs::create_directories(path("d/sub"));
    write(path("d/a"), "a");
    write(path("d/sub/b"), "b");
    fs::create_directories(path("outside"));
    write(path("outside/keep"), "k");
    fs::create_directory_symlink(path("outside"), path("d/link"));
    EXPECT_EQ(0, fsutils_clear_dir(path("d").c_str()));
    EXPECT_TRUE(fs::is_directory(path("d")));
    EXPECT_TRUE(fs::is_empty(path("d")));
    EXPECT_EQ("k", read(path("outside/keep")));

    EXPECT_EQ(-2, fsutils_clear_dir(""));
    EXPECT_EQ(1u, log_capture::count("fsutils_clear_dir", "fail: path is not provided"));
    EXPECT_EQ(-11, fsutils_clear_dir(std::string(4096, '/').c_str()));
    EXPECT_EQ(-1, fsutils_clear_dir(path("missing").c_str()));
    EXPECT_TRUE(log_capture::has_prefix(1, "fsutils_clear_dir", "fail: opendir <" + path("missing") + "> ("));
}

TEST_F(FsUtils, CopyCopiesBytesAndMode) {
    const std::string big(3 << 20, 'z');  // more than one sendfile piece
    write(path("src"), big, 0640);
    EXPECT_EQ(0, fsutils_cp(path("src").c_str(), path("dst").c_str()));
    EXPECT_EQ(big, read(path("dst")));
    EXPECT_EQ(0640u, mode_of(path("dst")));

    write(path("small"), "new", 0600);
    EXPECT_EQ(0, fsutils_cp(path("small").c_str(), path("dst").c_str()));  // replaces a regular file
    EXPECT_EQ("new", read(path("dst")));
    EXPECT_EQ(0600u, mode_of(path("dst")));
    EXPECT_EQ(1u, std::distance(fs::directory_iterator(root), fs::directory_iterator()) - 2);  // no temporaries
}

TEST_F(FsUtils, CopyRefusesUnusableSourcesAndTargets) {
    write(path("src"), "data");
    fs::create_directory(path("dir"));
    fs::create_hard_link(path("src"), path("hard"));
    fs::create_symlink(path("src"), path("link"));
    struct Row {
        std::string source, target;
        int status;
    };
    const std::vector<Row> rows = {
        {"", path("x"), -2},
        {path("src"), "", -2},
        {path("dir"), path("x"), -2},
        {path("missing"), path("x"), -10},
        {path("src"), path("src"), -2},
        {path("src"), path("hard"), -2},
        {path("src"), path("dir"), -2},
        {path("src"), path("link"), -2},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.status, fsutils_cp(row.source.c_str(), row.target.c_str())) << row.source << " -> " << row.target;
    EXPECT_EQ("data", read(path("src")));
}

TEST_F(FsUtils, FailedCopyLeavesTheTargetAsItWas) {
    write(path("src"), std::string(1 << 16, 's'));
    write(path("dst"), "precious", 0600);
    sendfile_budget = 100;  // part of the data, then an I/O error
    EXPECT_EQ(-1, fsutils_cp(path("src").c_str(), path("dst").c_str()));
    EXPECT_EQ("precious", read(path("dst")));
    EXPECT_EQ(0600u, mode_of(path("dst")));
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(root)) names.push_back(entry.path().filename());
    EXPECT_EQ(2u, names.size()) << "temporary file left behind";
}

TEST_F(FsUtils, LoadsRectanglesOfRawFrames) {
    // 4x4 I420: Y 0..15, U 100..103, V 200..203.
    std::string i420;
    for (int i = 0; i < 16; ++i) i420 += char(i);
    for (int i = 0; i < 4; ++i) i420 += char(100 + i);
    for (int i = 0; i < 4; ++i) i420 += char(200 + i);
    write(path("frame.i420"), i420);
    unsigned char out[16] = {};
    size_t size = 0;
    ASSERT_EQ(0, fsutils_load_i420(path("frame.i420").c_str(), 4, 4, 2, 2, 2, 2, out, sizeof out, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ((std::vector<int>{10, 11, 14, 15, 103, 203}), std::vector<int>(out, out + 6));

    EXPECT_EQ(-1, fsutils_load_i420(path("frame.i420").c_str(), 4, 4, 1, 0, 2, 2, out, sizeof out, &size));  // odd
    EXPECT_EQ(-1, fsutils_load_i420(path("frame.i420").c_str(), 4, 6, 0, 0, 2, 2, out, sizeof out, &size));  // size
    EXPECT_EQ(-1, fsutils_load_i420(path("frame.i420").c_str(), 4, 4, 0, 0, 4, 4, out, 23, &size));          // room
    EXPECT_EQ(-1, fsutils_load_i420(path("frame.i420").c_str(), 4, 4, 2, 2, 4, 2, out, sizeof out, &size));  // outside

    write(path("frame.y8"), "abcdefgh");  // 4x2 grey
    ASSERT_EQ(0, fsutils_load_mono8(path("frame.y8").c_str(), 4, 2, 1, 0, 2, 2, out, sizeof out, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ("bcfg", std::string(reinterpret_cast<char *>(out), 4));
    EXPECT_EQ(-1, fsutils_load_mono8(path("missing").c_str(), 4, 2, 0, 0, 1, 1, out, sizeof out, &size));
}

}  // namespace

// Interposes the C library's sendfile for the code linked into this test.
extern "C" ssize_t sendfile(int out, int in, off_t *offset, size_t count) {
    using real_t = ssize_t (*)(int, int, off_t *, size_t);
    static const real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "sendfile"));
    if (sendfile_budget < 0) return real(out, in, offset, count);
    if (sendfile_budget == 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t n = real(out, in, offset, std::min(count, static_cast<size_t>(sendfile_budget)));
    if (n > 0) sendfile_budget -= n;
    return n;
}
