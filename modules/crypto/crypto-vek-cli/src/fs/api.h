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
    // zipPath, through replaceFile.
    virtual void createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                           const char *name2, unsigned char *data2, unsigned long size2) = 0;
    // Writes size bytes of data as the file at path, through replaceFile.
    virtual void writeFile(const char *path, unsigned char *data, unsigned long size) = 0;
    // The whole file; *size its length.
    virtual std::unique_ptr<unsigned char[]> readFile(const char *path, unsigned long *size) = 0;
    // Refuses, before anything is made, what createZip would refuse: unusable entry
    // names, a directory that neither exists nor can be made, a link that is not
    // followed, a name that would be written in place (a descriptor, a pipe, a device),
    // an existing archive that cannot be replaced.
    virtual void checkZip(const char *zipPath, const char *name1, const char *name2) = 0;
    // Files another party reads and writes whole: readPath must be a regular file and
    // writePath not readPath itself, so that the read cannot block or run without end
    // and the write cannot destroy what it reads.
    virtual void checkPassage(const char *readPath, const char *writePath) = 0;
    // Makes the output at path so that it is either complete or what was there before,
    // and on the disk when this returns. `make` writes the whole file at the name it is
    // given: a new file beside path's target, named "<target>.vek-cli-" and six random
    // letters or digits, created with the owner and permission bits it will have; it is
    // synced, renamed over the target and the folder synced; on any failure it is
    // removed. Symbolic links at path are followed, so they stay links, but a link in a
    // sticky folder that everybody may write only when it is the caller's or the folder
    // owner's. A name that stands for one of the process's descriptors (/dev/stdout,
    // /dev/fd/N, /proc/self/fd/N), and an existing entry that is no regular file (a
    // pipe, a device), are written in place: `make` writes into an anonymous file, which
    // is then copied in; nothing is renamed over them. A new file gets mode 0666 less the
    // umask, a replaced one keeps its permission bits. The signals that end a command wait
    // meanwhile. Throws internal_error, or what `make` throws.
    virtual void replaceFile(const char *path, const std::function<void(const char *name)> &make) = 0;
};

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
