// The file facade against real files, devices and FIFOs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fs/api.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "zarn/support/exceptions.h"
#include "zip_entries.h"

namespace fs = std::filesystem;

namespace {

// Runs after this binary's mkostemp has made a file (its name given), so that a test can
// act while the archive check's probe exists.
std::function<void(const char *)> g_after_mkostemp;

}  // namespace

extern "C" int mkostemp(char *name, int flags) {
    const int fd = ::mkostemps(name, 0, flags);
    if (fd >= 0 && g_after_mkostemp) g_after_mkostemp(name);
    return fd;
}

namespace {

using Zarn::Support::internal_error;

class FsApi : public ::testing::Test {
protected:
    void SetUp() override { log_capture::clear(); }

    std::string path(const std::string &relative) const { return root + "/" + relative; }
    static void put(const std::string &file, const std::string &text) { std::ofstream(file, std::ios::binary) << text; }
    static std::string get(const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string read(const std::string &file) {
        unsigned long size = 0;
        std::unique_ptr<unsigned char[]> data(facade->readFile(file.c_str(), &size));
        return std::string(reinterpret_cast<char *>(data.get()), size);
    }
    void write(const std::string &file, std::string bytes) {
        facade->writeFile(file.c_str(), reinterpret_cast<unsigned char *>(&bytes[0]), bytes.size());
    }
    void zip(const std::string &file, const char *name1, std::string data1, const char *name2, std::string data2) {
        facade->createZip(file.c_str(), name1, reinterpret_cast<unsigned char *>(&data1[0]), data1.size(), name2,
                          reinterpret_cast<unsigned char *>(&data2[0]), data2.size());
    }

    zarn_test::temp_dir dir{"vek-cli-fs-test"};
    const std::string &root = dir.path();
    std::shared_ptr<Zarn::Support::VekCli::Fs::api_like> facade = Zarn::Support::VekCli::Fs::Api__Create();
};

// Lowers the file-size limit for the life of the object, so writes fail with EFBIG.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &_saved);
        _handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = _saved;
        lower.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &_saved);
        std::signal(SIGXFSZ, _handler);
    }

private:
    rlimit _saved;
    void (*_handler)(int);
};

TEST_F(FsApi, ReadsWholeFiles) {
    const std::string bytes("a\0b\xff\n", 5);
    put(path("data"), bytes);
    EXPECT_EQ(bytes, read(path("data")));
    const std::string big(1 << 20, 'q');
    put(path("big"), big);
    EXPECT_EQ(big, read(path("big")));
}

TEST_F(FsApi, ReadRefusesWhatIsNotAWholeFile) {
    put(path("empty"), "");
    fs::create_directory(path("dir"));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));  // no writer: must not block
    { std::ofstream sparse(path("huge")); }
    ASSERT_EQ(0, ::truncate(path("huge").c_str(), 4294967296LL));  // 4 GiB: refused, never cut to 32 bits

    struct Row {
        std::string file, logged;
    };
    const std::vector<Row> rows = {
        {path("empty"), "fail: fread <" + path("empty") + "> ("},
        {path("missing"), "fail: fopen <" + path("missing") + "> (errno:No such file or directory)\n"},
        {path("dir"), "fail: fopen <" + path("dir") + "> (errno:Is a directory)\n"},
        {path("fifo"), "fail: fseek <" + path("fifo") + "> (Illegal seek)\n"},
        {path("huge"), "fail: file too large <" + path("huge") + "> (size:4294967296, max-size:4294967295)\n"},
    };
    for (const Row &row : rows) {
        log_capture::clear();
        unsigned long size = 7;
        EXPECT_THROW(facade->readFile(row.file.c_str(), &size), internal_error) << row.file;
        EXPECT_EQ(7u, size) << row.file;
        EXPECT_TRUE(log_capture::has_prefix(1, "readFile", row.logged)) << row.file;
    }
}

TEST_F(FsApi, WritesCreateOrTruncate) {
    write(path("out"), std::string("x\0y", 3));
    EXPECT_EQ(std::string("x\0y", 3), get(path("out")));
    write(path("out"), "z");
    EXPECT_EQ("z", get(path("out")));
    EXPECT_EQ(2u, log_capture::count("writeFile", "done: <" + path("out") + ">"));
    write(path("none"), "");
    EXPECT_TRUE(fs::exists(path("none")));
}

TEST_F(FsApi, FailedWriteOfADeviceIsReportedAndTheDeviceKept) {
    EXPECT_THROW(write("/dev/full", "certificate"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "writeFile", "fail: fflush </dev/full> (No space left on device)"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_EQ(0u, log_capture::count("writeFile", "done: </dev/full>"));
}

// A full disk: a new file is not made, an existing one (also behind a link) stays as it was.
TEST_F(FsApi, FailedWriteLeavesWhatWasThere) {
    put(path("target"), "old");
    put(path("kept"), "good certificate");
    fs::create_symlink(path("target"), path("link"));
    {
        const file_size_limit limit(10);
        EXPECT_THROW(write(path("small"), std::string(100, 's')), internal_error);      // fails at the flush
        EXPECT_THROW(write(path("large"), std::string(1 << 16, 'l')), internal_error);  // fails in fwrite
        EXPECT_THROW(write(path("link"), std::string(100, 'k')), internal_error);
        EXPECT_THROW(write(path("kept"), std::string(100, 'n')), internal_error);
    }
    EXPECT_FALSE(fs::exists(path("small")));
    EXPECT_FALSE(fs::exists(path("large")));
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_EQ("old", get(path("target")));
    EXPECT_EQ("good certificate", get(path("kept")));
    EXPECT_EQ(3, std::distance(fs::directory_iterator(root), fs::directory_iterator()));  // no temporary file
    EXPECT_TRUE(log_capture::has_prefix(1, "writeFile",
                                        "fail: fwrite <" + path("large") + "> (expected-size:65536, actual-size:"));
}

TEST_F(FsApi, WriteRefusesDirectoriesAndFifosWithoutBlocking) {
    fs::create_directory(path("dir"));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));
    EXPECT_THROW(write(path("dir"), "x"), internal_error);
    EXPECT_TRUE(fs::is_directory(path("dir")));
    EXPECT_THROW(write(path("fifo"), "x"), internal_error);
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    EXPECT_TRUE(log_capture::has_prefix(1, "writeFile", "fail: fopen <" + path("fifo") + "> ("));
    EXPECT_THROW(write(path("missing/x"), "x"), internal_error);
}

// The name replaceFile hands to `make`, and what `make` found there.
struct made_at {
    std::string name;
    bool existed = false;
};

TEST_F(FsApi, ReplacementIsMadeBesideTheTargetAndRenamedOverIt) {
    fs::create_directory(path("sub"));
    put(path("sub/target"), "old");
    fs::create_symlink("sub/target", path("relative"));  // resolved from the link's folder
    fs::create_symlink(path("relative"), path("chain"));
    fs::create_symlink("sub/new", path("dangling"));
    const std::string longName(255, 'n');
    struct Row {
        std::string given, target;
    };
    const std::vector<Row> rows = {
        {path("plain"), path("plain")},         {path("sub/target"), path("sub/target")},
        {path("relative"), path("sub/target")}, {path("chain"), path("sub/target")},
        {path("dangling"), path("sub/new")},    {path(longName), path(longName)},
    };
    for (const Row &row : rows) {
        made_at made;
        facade->replaceFile(row.given.c_str(), [&](const char *name) {
            made = {name, fs::exists(name)};
            put(name, "new " + row.given);
        });
        const std::string folder = fs::path(row.target).parent_path().string() + "/";
        const std::string base = fs::path(row.target).filename().string().substr(0, 255 - 15);
        EXPECT_EQ(folder + base + ".vek-cli-", made.name.substr(0, made.name.size() - 6)) << row.given;
        EXPECT_EQ(std::string::npos, made.name.find_first_not_of(
                                         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                         made.name.size() - 6))
            << made.name;
        EXPECT_TRUE(made.existed) << row.given;  // made before `make`, so that nobody else takes the name
        EXPECT_FALSE(fs::exists(made.name)) << row.given;
        EXPECT_EQ("new " + row.given, get(row.target)) << row.given;
    }
    for (const char *link : {"relative", "chain", "dangling"}) EXPECT_TRUE(fs::is_symlink(path(link))) << link;
}

TEST_F(FsApi, ReplacementKeepsTheModeOfTheFileItReplaces) {
    const mode_t saved = ::umask(022);
    write(path("new"), "n");
    ::umask(0);
    write(path("open"), "o");
    ::umask(saved);
    put(path("private"), "p");
    ASSERT_EQ(0, ::chmod(path("private").c_str(), 0640));
    write(path("private"), "replaced");
    struct Row {
        const char *name;
        mode_t mode;
    };
    for (const Row &row : {Row{"new", 0644}, Row{"open", 0666}, Row{"private", 0640}}) {
        struct stat st;
        ASSERT_EQ(0, ::stat(path(row.name).c_str(), &st));
        EXPECT_EQ(row.mode, st.st_mode & 07777) << row.name;
    }
    EXPECT_EQ("replaced", get(path("private")));
}

// What `make` throws passes on, and nothing of it stays; a device is handed over as it is.
TEST_F(FsApi, FailedReplacementLeavesWhatWasThere) {
    put(path("target"), "old");
    made_at made;
    EXPECT_THROW(facade->replaceFile(path("target").c_str(),
                                     [&](const char *name) {
                                         made.name = name;
                                         put(name, "half");
                                         throw internal_error();
                                     }),
                 internal_error);
    EXPECT_FALSE(fs::exists(made.name));
    EXPECT_EQ("old", get(path("target")));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(root), fs::directory_iterator()));

    facade->replaceFile("/dev/null", [&](const char *name) { made.name = name; });
    EXPECT_EQ("/dev/null", made.name);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    for (const std::string &unusable : {std::string(), path("target/"), path("missing/x")}) {
        log_capture::clear();
        bool called = false;
        EXPECT_THROW(facade->replaceFile(unusable.c_str(), [&](const char *) { called = true; }), internal_error)
            << unusable;
        EXPECT_FALSE(called) << unusable;
        EXPECT_TRUE(log_capture::has_prefix(1, "replaceFile", "fail: ")) << unusable;
    }
    EXPECT_EQ(1, std::distance(fs::directory_iterator(root), fs::directory_iterator()));
}

TEST_F(FsApi, ArchiveHoldsTwoEntriesInOrder) {
    const std::string ds("\x30\x82\x01\x00ds", 6), kep(5000, 'k');
    zip(path("a/b/req.zip"), "\xD0\xBA-ds.p10", ds, "kep.p10", kep);  // parents are made
    std::vector<zip_entries::entry> entries;
    ASSERT_TRUE(zip_entries::read(path("a/b/req.zip"), &entries));
    EXPECT_EQ((std::vector<zip_entries::entry>{{"\xD0\xBA-ds.p10", ds}, {"kep.p10", kep}}), entries);
    EXPECT_EQ(1u, log_capture::count("createZip", "done"));

    zip(path("a/b/req.zip"), "one", "1", "two", "");  // replaced, not extended
    entries.clear();
    ASSERT_TRUE(zip_entries::read(path("a/b/req.zip"), &entries));
    EXPECT_EQ((std::vector<zip_entries::entry>{{"one", "1"}, {"two", ""}}), entries);
}

TEST_F(FsApi, ArchiveWithARelativePathGoesToTheWorkingDirectory) {
    const std::string cwd = fs::current_path();
    fs::current_path(root);
    zip("req.zip", "a", "1", "b", "2");
    fs::current_path(cwd);
    EXPECT_TRUE(fs::exists(path("req.zip")));
    EXPECT_EQ(1u, log_capture::count("createZip", "fail: mkdir <req.zip>"));
    EXPECT_TRUE(log_capture::has_prefix(2, "createZip", "fail: mkdir <req.zip>"));
}

TEST_F(FsApi, ArchiveFailuresCommitNothing) {
    put(path("req.zip"), "previous");
    EXPECT_THROW(zip(path("req.zip"), "same", "1", "same", "2"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "createZip", "fail: zip_file_add ("));
    EXPECT_EQ("previous", get(path("req.zip")));

    const std::string cwd = fs::current_path();
    fs::current_path(root);
    EXPECT_THROW(zip("nodir/req.zip", "a", "1", "b", "2"), internal_error);  // relative: never made
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(path("nodir")));
    EXPECT_TRUE(log_capture::has_prefix(1, "createZip", "fail: zip_close ("));
}

TEST_F(FsApi, ArchiveCheckRefusesWhatCannotBeWritten) {
    put(path("file"), "x");
    fs::create_directory(path("dir"));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));
    const std::string cwd = fs::current_path();
    fs::current_path(root);
    struct Row {
        std::string zipPath, name1, name2;
        bool passes;
    };
    const std::vector<Row> rows = {
        {path("new/deep/req.zip"), "ds", "kep", true},  // absolute: the directory is made
        {"req.zip", "ds", "kep", true},
        {"dir/req.zip", "ds", "kep", true},
        {"missing/req.zip", "ds", "kep", false},  // relative directories are never made
        {path("req.zip"), "", "kep", false},
        {path("req.zip"), "ds", "", false},
        {path("req.zip"), "same", "same", false},
        {path("req.zip"), std::string(65536, 'n'), "kep", false},
        {path("req.zip"), "\xD0\xBA-ds.p10", "kep", true},
        {path("req.zip"), "\xFF", "kep", false},  // libzip refuses a UTF-8 flagged name that is not UTF-8
        {path("req.zip"), "ds", "kep\xD0", false},
        {"", "ds", "kep", false},  // no archive can be opened there
        {path("dir"), "ds", "kep", false},
        {path("fifo"), "ds", "kep", false},
        {path("file"), "ds", "kep", true},  // an existing archive is replaced
        {path("file/req.zip"), "ds", "kep", false},
    };
    for (const Row &row : rows) {
        if (row.passes) {
            EXPECT_NO_THROW(facade->checkZip(row.zipPath.c_str(), row.name1.c_str(), row.name2.c_str())) << row.zipPath;
        } else {
            EXPECT_THROW(facade->checkZip(row.zipPath.c_str(), row.name1.c_str(), row.name2.c_str()), internal_error)
                << row.zipPath << " " << row.name1.size();
        }
    }
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_directory(path("new/deep")));
    EXPECT_FALSE(fs::exists(path("missing")));
    size_t left = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root)) left += entry.is_regular_file();
    EXPECT_EQ(1u, left) << "probe files left behind";
    EXPECT_EQ("x", get(path("file")));
}

// Runs `check` in a child process under an unprivileged user: whether it threw
// internal_error. Skips where the test cannot change its user.
bool refused_as_other_user(const std::function<void()> &check) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        try {
            check();
        } catch (const internal_error &) {
            ::_exit(0);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Sets or clears the immutable flag; false where the file system keeps no such flag.
bool set_immutable(const std::string &file, bool on) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
    int attributes = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &attributes) == 0;
    attributes = on ? attributes | FS_IMMUTABLE_FL : attributes & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &attributes) == 0;
    if (fd >= 0) ::close(fd);
    return done;
}

volatile sig_atomic_t g_delivered = 0;
volatile sig_atomic_t g_probe_at_delivery = 0;
char g_probe[4096];
void _T_note_delivery(int signal) {
    const int error = errno;
    g_delivered = signal;
    g_probe_at_delivery = ::access(g_probe, F_OK) == 0;
    errno = error;
}

// A signal that would end the command, arriving while the archive check's probe exists,
// takes effect once the probe is gone again: it leaves nothing behind.
TEST_F(FsApi, ArchiveCheckLeavesNoProbeToAnEndingSignal) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction action {}, previous {};
        action.sa_handler = _T_note_delivery;
        ASSERT_EQ(0, ::sigaction(signal, &action, &previous));
        g_delivered = g_probe_at_delivery = 0;
        g_after_mkostemp = [signal](const char *name) {
            std::snprintf(g_probe, sizeof g_probe, "%s", name);
            ::raise(signal);
        };
        facade->checkZip(path("req.zip").c_str(), "ds", "kep");
        g_after_mkostemp = nullptr;
        ::sigaction(signal, &previous, nullptr);
        EXPECT_EQ(signal, g_delivered);
        EXPECT_EQ(0, g_probe_at_delivery) << signal;
        EXPECT_TRUE(fs::is_empty(root)) << signal;
        sigset_t mask;
        ::sigprocmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, signal)) << signal;
    }
}

TEST_F(FsApi, ArchiveCheckRefusesWhatTheFinalOpenOrRenameWouldRefuse) {
    fs::create_symlink("loop.zip", path("loop.zip"));
    fs::create_symlink("missing.zip", path("dangling.zip"));
    struct Row {
        std::string zipPath, logged;
    };
    const std::vector<Row> refused = {
        {path("loop.zip"), "fail: stat <" + path("loop.zip") + "> (Too many levels of symbolic links)"},
        {path("new/"), "fail: zip path names no file <" + path("new/") + ">"},
    };
    for (const Row &row : refused) {
        log_capture::clear();
        EXPECT_THROW(facade->checkZip(row.zipPath.c_str(), "ds", "kep"), internal_error) << row.zipPath;
        EXPECT_TRUE(log_capture::has_prefix(1, "checkZip", row.logged)) << row.zipPath;
    }
    EXPECT_NO_THROW(facade->checkZip(path("dangling.zip").c_str(), "ds", "kep"));  // the link itself is replaced
}

TEST_F(FsApi, ArchiveCheckRefusesAnArchiveOfAnotherUserThatCannotBeReadOrReplaced) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(0, ::chmod(root.c_str(), 0755));
    fs::create_directory(path("sticky"));
    ASSERT_EQ(0, ::chmod(path("sticky").c_str(), 01777));  // like /tmp, owned by root
    put(path("sticky/req.zip"), "root's");
    fs::create_directory(path("open"));
    ASSERT_EQ(0, ::chmod(path("open").c_str(), 0777));
    put(path("open/secret.zip"), "root's");
    ASSERT_EQ(0, ::chmod(path("open/secret.zip").c_str(), 0600));
    struct Row {
        std::string zipPath;
        bool refused;
    };
    const std::vector<Row> rows = {
        {path("sticky/req.zip"), true},    // readable, but the rename over it fails
        {path("sticky/other.zip"), false},  // a new archive beside it is fine
        {path("open/secret.zip"), true},    // replaceable, but libzip cannot open it
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.refused, refused_as_other_user([&] { facade->checkZip(row.zipPath.c_str(), "ds", "kep"); }))
            << row.zipPath;
    }
    EXPECT_NO_THROW(facade->checkZip(path("sticky/req.zip").c_str(), "ds", "kep"));  // root may replace it
    EXPECT_EQ("root's", get(path("sticky/req.zip")));
}

TEST_F(FsApi, ArchiveCheckRefusesAnImmutableArchive) {
    put(path("req.zip"), "kept");
    if (!set_immutable(path("req.zip"), true)) GTEST_SKIP() << "no immutable flag here";
    EXPECT_THROW(facade->checkZip(path("req.zip").c_str(), "ds", "kep"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "checkZip", "fail: not replaceable <" + path("req.zip") + ">"));
    EXPECT_TRUE(set_immutable(path("req.zip"), false));
}

TEST_F(FsApi, PassageRefusesASignaturePathThatIsTheDataFile) {
    put(path("data"), "payload");
    put(path("other"), "other");
    fs::create_symlink(path("data"), path("symlink"));
    fs::create_hard_link(path("data"), path("hardlink"));
    struct Row {
        std::string signPath;
        bool refused;
    };
    const std::vector<Row> rows = {
        {path("data"), true},     {root + "/./data", true}, {path("symlink"), true},
        {path("hardlink"), true}, {path("other"), false},   {path("data.p7s"), false},
    };
    for (const Row &row : rows) {
        log_capture::clear();
        if (row.refused) {
            EXPECT_THROW(facade->checkPassage(path("data").c_str(), row.signPath.c_str()), internal_error)
                << row.signPath;
            EXPECT_TRUE(log_capture::has_prefix(1, "checkPassage", "fail: same file <" + path("data") + "> <"))
                << row.signPath;
        } else {
            EXPECT_NO_THROW(facade->checkPassage(path("data").c_str(), row.signPath.c_str())) << row.signPath;
        }
    }
    EXPECT_EQ("payload", get(path("data")));
}

// Only the archive operations need libzip: without it, or without one of its functions,
// they fail, logged, and make nothing.
TEST_F(FsApi, ArchiveOperationsFailWhenLibzipCannotBeLoaded) {
    struct Row {
        const char *soname;
        const char *logged;
    };
    const Row rows[] = {
        {"libvek-no-such-zip.so.0", "fail: dlopen <libvek-no-such-zip.so.0> ("},
        {"libm.so.6", "fail: dlsym <zip_close> in <libm.so.6>"},
    };
    for (const Row &row : rows) {
        log_capture::clear();
        facade = Zarn::Support::VekCli::Fs::Api__Create(row.soname);
        write(path("plain"), "text");
        EXPECT_EQ("text", read(path("plain")));
        EXPECT_THROW(facade->checkZip(path("r.zip").c_str(), "ds", "kep"), internal_error);
        EXPECT_THROW(zip(path("r.zip"), "ds", "1", "kep", "2"), internal_error);
        EXPECT_TRUE(log_capture::has_prefix(1, "zip_library", row.logged)) << row.soname;
        EXPECT_FALSE(fs::exists(path("r.zip"))) << row.soname;
    }
}

}  // namespace
