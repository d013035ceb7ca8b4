// The file facade against real files, devices and FIFOs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

#include "ending_signals.h"
#include "fs/api.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "zarn/support/exceptions.h"
#include "zip_entries.h"

namespace fs = std::filesystem;

namespace {

// Runs as this binary's unlinkat is about to remove a file (its name given through its
// folder's descriptor), so that a test can act while the archive check's probe still exists.
std::function<void(const char *)> g_before_unlink;
// When not 0, the next fstat fails with this error.
int g_fstat_error = 0;

}  // namespace

extern "C" int unlinkat(int folder, const char *name, int flags) {
    if (g_before_unlink) g_before_unlink(("/proc/self/fd/" + std::to_string(folder) + "/" + name).c_str());
    return static_cast<int>(::syscall(SYS_unlinkat, folder, name, flags));
}

extern "C" int fstat(int fd, struct stat *st) {
    if (g_fstat_error != 0) {
        errno = g_fstat_error;
        g_fstat_error = 0;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fstat, fd, st));
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

TEST_F(FsApi, ReadReportsAFailedFstatAsItself) {
    put(path("data"), "payload");
    g_fstat_error = EIO;
    unsigned long size = 0;
    EXPECT_THROW(facade->readFile(path("data").c_str(), &size), internal_error);
    g_fstat_error = 0;
    EXPECT_TRUE(log_capture::has_prefix(1, "readFile", "fail: fstat <" + path("data") + "> (errno:Input/output error)\n"));
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
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_write_in_place", "fail: write </dev/full> (No space left on device)"));
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

TEST_F(FsApi, WriteRefusesDirectoriesAndFifosWithoutAReaderWithoutBlocking) {
    fs::create_directory(path("dir"));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));
    EXPECT_THROW(write(path("dir"), "x"), internal_error);
    EXPECT_TRUE(fs::is_directory(path("dir")));
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_write_in_place", "fail: open <" + path("dir") + "> (Is a directory)"));
    EXPECT_THROW(write(path("fifo"), "x"), internal_error);
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    EXPECT_TRUE(
        log_capture::has_prefix(1, "_T_write_in_place", "fail: open <" + path("fifo") + "> (No such device or address)"));
    EXPECT_THROW(write(path("missing/x"), "x"), internal_error);
}

// The name replaceFile hands to `make`, the folder it leads through, and what `make`
// found there.
struct made_at {
    std::string name, folder;
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
            made = {name, fs::read_symlink(fs::path(name).parent_path()).string(), fs::exists(name)};
            put(name, "new " + row.given);
        });
        // The name leads through the folder the walk holds, never the path again.
        const std::string held = made.name.substr(0, made.name.find('/', sizeof "/proc/self/fd/") + 1);
        EXPECT_EQ(0u, held.find("/proc/self/fd/")) << made.name;
        EXPECT_EQ(fs::path(row.target).parent_path().string(), made.folder) << row.given;
        const std::string base = fs::path(row.target).filename().string().substr(0, 255 - 15);
        EXPECT_EQ(held + base + ".vek-cli-", made.name.substr(0, made.name.size() - 6)) << row.given;
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

// While `make` writes it, the new file is its owner's alone, readable and writable by it
// whatever the umask; it gets its final bits only once it is whole.
TEST_F(FsApi, TheNewFileIsTheOwnersAloneUntilItIsWhole) {
    struct Row {
        const char *name;
        mode_t umask;
        int existing;  // the mode of the file replaced, -1 for none
        mode_t mode;
    };
    const Row rows[] = {
        {"private", 022, 0600, 0600}, {"group", 022, 0640, 0640}, {"others", 077, 0604, 0604},
        {"open", 022, 0666, 0666},    {"new", 077, -1, 0600},     {"plain", 022, -1, 0644},
        {"readonly", 022, 0444, 0444}, {"no-write", 0222, -1, 0444}, {"no-read", 0400, -1, 0266},
    };
    for (const Row &row : rows) {
        if (row.existing >= 0) {
            put(path(row.name), "old");
            ASSERT_EQ(0, ::chmod(path(row.name).c_str(), static_cast<mode_t>(row.existing)));
        }
        const mode_t saved = ::umask(row.umask);
        mode_t whileMade = 0;
        facade->replaceFile(path(row.name).c_str(), [&](const char *name) {
            struct stat st;
            ASSERT_EQ(0, ::stat(name, &st));
            whileMade = st.st_mode & 07777;
            put(name, "new");
        });
        ::umask(saved);
        struct stat st;
        ASSERT_EQ(0, ::stat(path(row.name).c_str(), &st));
        EXPECT_EQ(0600u, whileMade) << row.name;
        EXPECT_EQ(row.mode, st.st_mode & 07777) << row.name;
        EXPECT_EQ("new", get(path(row.name))) << row.name;
    }
}

// A name of one of the descriptors the caller passed (by whatever text: a link of /proc,
// the file's own name), a FIFO with a reader and a device are written through what is
// there, after what it already holds; nothing is renamed over them.
TEST_F(FsApi, DescriptorsPipesAndDevicesAreWrittenInPlace) {
    put(path("held"), "earlier|");
    put(path("archive"), "");
    const int held = ::open(path("held").c_str(), O_WRONLY | O_APPEND);
    const int archive = ::open(path("archive").c_str(), O_WRONLY);
    int pipeEnds[2];
    ASSERT_EQ(0, ::pipe(pipeEnds));
    ASSERT_EQ(0, ::mkfifo(path("fifo").c_str(), 0600));
    const int fifoReader = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_TRUE(held >= 0 && archive >= 0 && fifoReader >= 0);
    Zarn::Support::VekCli::Fs::NoteCallerDescriptors();
    struct stat heldBefore;
    ASSERT_EQ(0, ::stat(path("held").c_str(), &heldBefore));
    const auto drain = [](int fd) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    };
    const auto heldAfter = [&](size_t before) { return get(path("held")).substr(before); };
    struct Row {
        std::string name;
        std::function<std::string(size_t)> received;  // what the write put there
        std::string from;                             // the working folder, if not this one
    };
    const std::string heldFd = std::to_string(held);
    const std::vector<Row> rows = {
        {"/dev/fd/" + heldFd, heldAfter, ""},
        {"/proc/self/fd/" + heldFd, heldAfter, ""},
        {"/proc/thread-self/fd/" + heldFd, heldAfter, ""},
        {"/proc/" + std::to_string(::getpid()) + "/fd/" + heldFd, heldAfter, ""},
        {"proc/self/fd/" + heldFd, heldAfter, "/"},
        {path("held"), heldAfter, ""},  // the same file as a descriptor passed: never renamed over
        {"/dev/fd/" + std::to_string(pipeEnds[1]), [&](size_t) { return drain(pipeEnds[0]); }, ""},
        {path("fifo"), [&](size_t) { return drain(fifoReader); }, ""},
        {"/dev/null", [](size_t) { return std::string(); }, ""},
    };
    for (const Row &row : rows) {
        const size_t before = get(path("held")).size();
        const std::string payload = "certificate for " + row.name;
        const std::string cwd = fs::current_path();
        if (!row.from.empty()) fs::current_path(row.from);
        write(row.name, payload);
        fs::current_path(cwd);
        if (row.name != "/dev/null") {
            EXPECT_EQ(payload, row.received(before)) << row.name;
        }
    }
    EXPECT_EQ(0u, get(path("held")).find("earlier|"));
    struct stat heldAfterAll;
    ASSERT_EQ(0, ::stat(path("held").c_str(), &heldAfterAll));
    EXPECT_EQ(heldBefore.st_ino, heldAfterAll.st_ino);  // never renamed over
    EXPECT_TRUE(fs::is_fifo(path("fifo")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    zip("/dev/fd/" + std::to_string(archive), "one", "1", "two", "2");
    std::vector<zip_entries::entry> entries;
    ASSERT_TRUE(zip_entries::read(path("archive"), &entries));
    EXPECT_EQ((std::vector<zip_entries::entry>{{"one", "1"}, {"two", "2"}}), entries);
    EXPECT_EQ(3, std::distance(fs::directory_iterator(root), fs::directory_iterator()));  // nothing made beside

    // Refused, with nothing written: a descriptor the caller did not pass (the command's
    // own), a regular file the process holds open otherwise, a deleted file behind a
    // descriptor, a path that goes on through a descriptor that is no folder.
    put(path("gone"), "");
    const int own = ::open(path("own").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int gone = ::open(path("gone").c_str(), O_WRONLY);
    ASSERT_EQ(0, ::unlink(path("gone").c_str()));
    struct Refused {
        std::string name, logged;
    };
    const std::vector<Refused> refused = {
        {"/dev/fd/" + std::to_string(own), "fail: not a descriptor the caller passed"},
        {path("own"), "fail: file held open"},
        {"/proc/self/fd/" + std::to_string(gone), "fail: not a descriptor the caller passed"},
        {"/dev/fd/" + heldFd + "/sub/name", "fail: stat </dev/fd/" + heldFd + "/sub/name> (Not a directory)"},
    };
    for (const Refused &row : refused) {
        log_capture::clear();
        EXPECT_THROW(write(row.name, "x"), internal_error) << row.name;
        EXPECT_TRUE(log_capture::has_prefix(1, "_T_locate", row.logged)) << row.name;
    }
    EXPECT_EQ("", get(path("own")));
    EXPECT_EQ(4, std::distance(fs::directory_iterator(root), fs::directory_iterator()));  // no "gone (deleted)"
    for (const int fd : {own, gone, held, archive, pipeEnds[0], pipeEnds[1], fifoReader}) ::close(fd);

    ASSERT_EQ(0, ::pipe(pipeEnds));
    ::close(pipeEnds[1]);
    EXPECT_THROW(write("/dev/fd/" + std::to_string(pipeEnds[0]), "x"), internal_error);  // open for reading only
    ::close(pipeEnds[0]);
}

// A link in a sticky folder that everybody may write is followed only when it is the
// caller's or the folder owner's, as the kernel does with fs.protected_symlinks on.
TEST_F(FsApi, LinksInStickyFoldersAreFollowedOnlyAsTheKernelWouldFollowThem) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own links as another user";
    const uid_t other = 65534;
    fs::create_directory(path("private"));
    ASSERT_EQ(0, ::chmod(path("private").c_str(), 0700));
    struct Row {
        const char *folder;
        mode_t mode;
        uid_t folderOwner, linkOwner;
        const char *link;  // what the link stands for, then the rest of the name
        bool followed;
    };
    const Row rows[] = {
        {"sticky", 01777, 0, other, "../private/sticky", false},  // another user's
        {"own", 01777, 0, 0, "../private/own", true},              // the caller's
        {"theirs", 01777, other, other, "../private/theirs", true},  // the folder owner's
        {"shared", 0777, 0, other, "../private/shared", true},     // not sticky
        {"closed", 01775, 0, other, "../private/closed", true},    // not writable by everybody
        {"folder", 01777, 0, other, "../private", false},          // a folder on the way
    };
    for (const Row &row : rows) {
        log_capture::clear();
        const std::string folder = path(row.folder), link = folder + "/link";
        fs::create_directory(folder);
        ASSERT_EQ(0, ::chmod(folder.c_str(), row.mode));
        ASSERT_EQ(0, ::chown(folder.c_str(), row.folderOwner, 0));
        ASSERT_EQ(0, ::symlink(row.link, link.c_str()));
        ASSERT_EQ(0, ::lchown(link.c_str(), row.linkOwner, 0));
        const bool isFolder = std::string(row.link) == "../private";
        const std::string name = isFolder ? link + "/inside" : link;
        const std::string file = isFolder ? path("private/inside") : path("private/") + row.folder;
        put(file, "old");
        if (row.followed) {
            EXPECT_NO_THROW(write(name, "new")) << row.folder;
            EXPECT_EQ("new", get(file)) << row.folder;
        } else {
            EXPECT_THROW(write(name, "new"), internal_error) << row.folder;
            EXPECT_EQ("old", get(file)) << row.folder;
            EXPECT_TRUE(log_capture::has_prefix(1, "_T_locate", "fail: link not followed <" + link + ">")) << row.folder;
        }
        EXPECT_TRUE(fs::is_symlink(link)) << row.folder;
    }
}

// What `make` throws passes on, and nothing of it stays.
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

    // A link whose text ends in '/' names a folder, never the file it leads to.
    fs::create_symlink("target/", path("slash"));
    for (const std::string &unusable : {std::string(), path("target/"), path("missing/x"), path("slash")}) {
        log_capture::clear();
        bool called = false;
        EXPECT_THROW(facade->replaceFile(unusable.c_str(), [&](const char *) { called = true; }), internal_error)
            << unusable;
        EXPECT_FALSE(called) << unusable;
        EXPECT_TRUE(log_capture::has_prefix(1, "replaceFile", "fail: ") || log_capture::has_prefix(1, "_T_locate", "fail: "))
            << unusable;
    }
    EXPECT_EQ("old", get(path("target")));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(root), fs::directory_iterator()));
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
    EXPECT_FALSE(log_capture::has_prefix(2, "createZip", "fail: mkdir"));  // nothing to make, nothing to say
}

TEST_F(FsApi, ArchiveInTheRootFolderNeedsNoFolderMade) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change the root folder";
    zip(path("first.zip"), "a", "1", "b", "2");  // libzip is loaded before the root changes
    const pid_t child = ::fork();
    if (child == 0) {
        log_capture::clear();
        if (::chroot(root.c_str()) != 0 || ::chdir("/") != 0) ::_exit(2);
        try {
            zip("/x.zip", "a", "1", "b", "2");
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(log_capture::has_prefix(2, "createZip", "fail: mkdir") ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(fs::exists(path("x.zip")));
}

TEST_F(FsApi, ArchiveFailuresCommitNothing) {
    put(path("req.zip"), "previous");
    EXPECT_THROW(zip(path("req.zip"), "same", "1", "same", "2"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "addEntry", "fail: zip_file_add <same> ("));
    EXPECT_EQ("previous", get(path("req.zip")));

    const std::string cwd = fs::current_path();
    fs::current_path(root);
    EXPECT_THROW(zip("nodir/req.zip", "a", "1", "b", "2"), internal_error);  // relative: never made
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(path("nodir")));
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_locate", "fail: stat <nodir/req.zip> (No such file or directory)"));
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
    EXPECT_FALSE(fs::exists(path("new")));  // made for the check, gone as no archive followed
    EXPECT_FALSE(fs::exists(path("missing")));
    size_t left = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root)) left += entry.is_regular_file();
    EXPECT_EQ(1u, left) << "probe files left behind";
    EXPECT_EQ("x", get(path("file")));
}

// The folders of an archive's absolute path are made (0755 less the umask, each synced in
// its parent) by the check, from the folders it holds: never through a link it refuses.
// They stay with the archive and go when none is written.
TEST_F(FsApi, ArchiveFoldersAreMadeFromHeldFoldersAndGoWhenUnused) {
    const mode_t saved = ::umask(0);
    facade->checkZip(path("kept/a/req.zip").c_str(), "ds", "kep");
    ::umask(077);
    facade->checkZip(path("other/b/req.zip").c_str(), "ds", "kep");  // the check before is dropped
    zip(path("other/b/req.zip"), "ds", "1", "kep", "2");
    facade->checkZip(path("unused/c/req.zip").c_str(), "ds", "kep");
    EXPECT_TRUE(fs::is_directory(path("unused/c")));
    facade = Zarn::Support::VekCli::Fs::Api__Create();  // no archive followed
    ::umask(saved);
    EXPECT_FALSE(fs::exists(path("kept")));
    EXPECT_FALSE(fs::exists(path("unused")));
    for (const char *folder : {"other", "other/b"}) {
        struct stat st;
        ASSERT_EQ(0, ::stat(path(folder).c_str(), &st)) << folder;
        EXPECT_EQ(0700u, st.st_mode & 07777) << folder;
    }
    EXPECT_TRUE(fs::exists(path("other/b/req.zip")));
    ::umask(0);
    zip(path("plain/d/req.zip"), "ds", "1", "kep", "2");  // not checked first: made as it is written
    ::umask(saved);
    struct stat st;
    ASSERT_EQ(0, ::stat(path("plain/d").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);

    if (::geteuid() != 0) return;  // another user's link needs root
    fs::create_directory(path("private"));
    fs::create_directory(path("sticky"));
    ASSERT_EQ(0, ::chmod(path("sticky").c_str(), 01777));
    fs::create_symlink("../private", path("sticky/link"));
    ASSERT_EQ(0, ::lchown(path("sticky/link").c_str(), 65534, 65534));
    log_capture::clear();
    EXPECT_THROW(facade->checkZip(path("sticky/link/made/by/root/req.zip").c_str(), "ds", "kep"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_locate", "fail: link not followed <" + path("sticky/link") + ">"));
    EXPECT_TRUE(fs::is_empty(path("private")));
}

// A name that changes between the check and the write (a FIFO, with a reader, where there
// was nothing) is not written: the archive fails and what is there stays.
TEST_F(FsApi, ArchiveIsWrittenOnlyWhereTheCheckLocatedIt) {
    facade->checkZip(path("req.zip").c_str(), "ds", "kep");
    ASSERT_EQ(0, ::mkfifo(path("req.zip").c_str(), 0600));
    const int reader = ::open(path("req.zip").c_str(), O_RDONLY | O_NONBLOCK);
    log_capture::clear();
    EXPECT_THROW(zip(path("req.zip"), "ds", "1", "kep", "2"), internal_error);
    EXPECT_TRUE(log_capture::has_prefix(1, "_T_check_unchanged", "fail: changed since located <" + path("req.zip") + ">"));
    char byte;
    EXPECT_EQ(0, ::read(reader, &byte, 1));  // nothing came through it
    ::close(reader);
    EXPECT_TRUE(fs::is_fifo(path("req.zip")));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(root), fs::directory_iterator()));
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
volatile sig_atomic_t g_watched_at_delivery = 0;  // whether g_watched existed when the signal came
char g_watched[4096];
void _T_note_delivery(int signal) {
    const int error = errno;
    g_delivered = signal;
    g_watched_at_delivery = ::access(g_watched, F_OK) == 0;
    errno = error;
}

// Every signal whose default action ends a process, arriving while a temporary file
// exists (the archive check's probe, a replacement's new file), takes effect once it is
// gone and the output is in place; the signal mask is then as before.
TEST_F(FsApi, EveryEndingSignalWaitsUntilNoTemporaryFileIsLeft) {
    const std::vector<int> signals = ending_signals::all();
    ASSERT_GT(signals.size(), 50u);  // the standard ones and the real-time ones
    for (const int signal : signals) {
        struct sigaction action {}, previous {};
        action.sa_handler = _T_note_delivery;
        ASSERT_EQ(0, ::sigaction(signal, &action, &previous));
        const auto raiseWatching = [signal](const char *name) {
            std::snprintf(g_watched, sizeof g_watched, "%s", name);
            ::raise(signal);
        };
        g_delivered = g_watched_at_delivery = 0;
        g_before_unlink = raiseWatching;  // as the probe is removed
        facade->checkZip(path("req.zip").c_str(), "ds", "kep");
        g_before_unlink = nullptr;
        EXPECT_EQ(signal, g_delivered);
        EXPECT_EQ(0, g_watched_at_delivery) << "probe, signal " << signal;

        g_delivered = g_watched_at_delivery = 0;
        facade->replaceFile(path("out").c_str(), [&](const char *name) {
            put(name, "new");
            raiseWatching(name);
        });
        EXPECT_EQ(signal, g_delivered);
        EXPECT_EQ(0, g_watched_at_delivery) << "replacement, signal " << signal;
        EXPECT_EQ("new", get(path("out"))) << signal;
        ::sigaction(signal, &previous, nullptr);
        sigset_t mask;
        ::sigprocmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, signal)) << signal;
        fs::remove(path("out"));
        EXPECT_TRUE(fs::is_empty(root)) << signal;
    }
}

// Written in place, where no temporary file exists, an output holds no signal off: a
// signal can end the command inside the copy (into a full pipe, for one).
TEST_F(FsApi, NoSignalWaitsWhileAnOutputIsWrittenInPlace) {
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    Zarn::Support::VekCli::Fs::NoteCallerDescriptors();
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGRTMIN}) {
        struct sigaction action {}, previous {};
        action.sa_handler = _T_note_delivery;
        ASSERT_EQ(0, ::sigaction(signal, &action, &previous));
        g_delivered = 0;
        int deliveredInside = 0;
        facade->replaceFile(("/dev/fd/" + std::to_string(ends[1])).c_str(), [&](const char *name) {
            put(name, "x");
            ::raise(signal);
            deliveredInside = g_delivered;
        });
        ::sigaction(signal, &previous, nullptr);
        EXPECT_EQ(signal, deliveredInside) << signal;
        char byte;
        EXPECT_EQ(1, ::read(ends[0], &byte, 1)) << signal;
    }
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST_F(FsApi, ArchiveCheckRefusesWhatTheFinalOpenOrRenameWouldRefuse) {
    fs::create_symlink("loop.zip", path("loop.zip"));
    fs::create_symlink("missing.zip", path("dangling.zip"));
    struct Row {
        std::string zipPath, function, logged;
    };
    const std::vector<Row> refused = {
        {path("loop.zip"), "_T_locate", "fail: stat <" + path("loop.zip") + "> (Too many levels of symbolic links)"},
        {path("new/"), "checkZip", "fail: zip path names no file <" + path("new/") + ">"},
    };
    for (const Row &row : refused) {
        log_capture::clear();
        EXPECT_THROW(facade->checkZip(row.zipPath.c_str(), "ds", "kep"), internal_error) << row.zipPath;
        EXPECT_TRUE(log_capture::has_prefix(1, row.function, row.logged)) << row.zipPath;
    }
    EXPECT_NO_THROW(facade->checkZip(path("dangling.zip").c_str(), "ds", "kep"));  // the link itself is replaced
}

TEST_F(FsApi, ArchiveCheckRefusesAnArchiveOfAnotherUserThatCannotBeReplaced) {
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
        {path("open/secret.zip"), false},   // replaceable: the archive is made in memory, this never read
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
