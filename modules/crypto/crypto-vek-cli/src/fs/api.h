// The tool's file facade: whole-file reading, files replaced whole, and the two-entry zip
// archive.
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
    // Writes an archive holding name1 (data1) and then name2 (data2), replacing zipPath.
    virtual void createZip(const char *zipPath, const char *name1, unsigned char *data1, unsigned long size1,
                           const char *name2, unsigned char *data2, unsigned long size2) = 0;
    // Writes size bytes of data as the file at path, through replaceFile.
    virtual void writeFile(const char *path, unsigned char *data, unsigned long size) = 0;
    // The whole file; *size its length.
    virtual std::unique_ptr<unsigned char[]> readFile(const char *path, unsigned long *size) = 0;
    // Refuses, before anything is made, what createZip would refuse: unusable entry
    // names, a directory that neither exists nor can be made, a path that cannot be
    // opened, an existing archive that cannot be read or replaced.
    virtual void checkZip(const char *zipPath, const char *name1, const char *name2) = 0;
    // Files another party reads and writes whole: readPath must be a regular file,
    // writePath no FIFO and not readPath itself, so neither read nor write can block,
    // run without end or destroy what it reads.
    virtual void checkPassage(const char *readPath, const char *writePath) = 0;
    // Makes the file at path so that it is either complete or what was there before:
    // `make` writes the whole file at the name it is given, a new file beside path's
    // target named "<target>.vek-cli-" and six random letters or digits, which is then
    // renamed over the target; on any failure it is removed. Symbolic links at path are
    // followed, so they stay links. An existing path that is no regular file (a device, a
    // pipe, a folder) is handed to `make` as it is. A new file gets mode 0666 less the
    // umask, a replaced one keeps its permission bits. The signals that end a command
    // wait while the temporary file exists. Throws internal_error, or what `make` throws.
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
