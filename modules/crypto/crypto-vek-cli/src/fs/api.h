// The tool's file facade: whole-file reading, outputs replaced whole (the two-entry zip
// archive among them, built in memory).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace Zarn {
namespace Support {
namespace VekCli {
namespace Fs {

class api_like {
public:
    virtual ~api_like() = default;
    // Writes an archive holding name1 (data1) and then name2 (data2) as the file at
    // zipPath, as replaceFile writes an output (where checkZip located it, after checkZip).
    virtual void createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                           const char *name2, unsigned char *data2, unsigned long size2) = 0;
    // Writes size bytes of data as the file at path, through replaceFile.
    virtual void writeFile(const char *path, unsigned char *data, unsigned long size) = 0;
    // The whole file; *size its length.
    virtual std::unique_ptr<unsigned char[]> readFile(const char *path, unsigned long *size) = 0;
    // Refuses, before anything is made, what createZip would refuse: unusable entry
    // names, a directory that neither exists nor can be made, a link that is not
    // followed, a name that would be written in place (a descriptor, a pipe, a device),
    // an existing archive that cannot be replaced (a mount point among them). The place
    // it located (its folders made, for an absolute path) is held for the createZip of
    // the same path, which writes there or fails if the name no longer holds what it held;
    // folders made are removed again when no archive is written there.
    virtual void checkZip(const char *zipPath, const char *name1, const char *name2) = 0;
    // Files another party reads and writes whole: readPath must be a regular file and
    // writePath not readPath itself, so that the read cannot block or run without end
    // and the write cannot destroy what it reads.
    virtual void checkPassage(const char *readPath, const char *writePath) = 0;
    // Makes the output at path so that it is either complete or what was there before,
    // and on the disk when this returns. The path is walked once, part by part, from held
    // folder descriptors; everything after works on what the walk holds. Symbolic links are
    // followed, so they stay links, but a link in a sticky folder that everybody may write
    // only when it is the caller's or the folder owner's. `make` writes the whole file at
    // the name it is given, which leads through the held folder to a new file beside the
    // target, named "<target>.vek-cli-" and six random letters or digits, created 0600; it
    // then gets the owner and permission bits of the file it replaces (a new one 0666 less
    // the umask), is synced, renamed over the target (a new name only while it is still
    // free) and the folder synced (or, where the folder cannot be read, its file system);
    // on any failure before the rename it is removed, and signals that end a command wait
    // while it exists. What is the same file as a descriptor the caller passed (whatever
    // its name), and an existing entry that is no regular file (a pipe, a device), are
    // written in place: `make` writes into an anonymous file, which is then copied in;
    // nothing is renamed over them, and a signal can cut the copy short. A descriptor the
    // caller did not pass, and a regular file the process holds open, are refused. Throws
    // internal_error, or what `make` throws.
    virtual void replaceFile(const char *path, const std::function<void(const char *name)> &make) = 0;
};

// Notes the descriptors open now as the ones the caller passed (the only descriptors an
// output may name); called at start, before the process opens any of its own. Where it
// was not called, the first output notes them.
void NoteCallerDescriptors();

// All operations throw internal_error on failure. libzip, found by the soname the build
// linked against, is opened by the first operation on an archive, which fails when it
// cannot be loaded.
std::shared_ptr<api_like> Api__Create();
// The same over the libzip of another soname.
std::shared_ptr<api_like> Api__Create(const std::string &zipSoname);

}  // namespace Fs
}  // namespace VekCli
}  // namespace Support
}  // namespace Zarn
