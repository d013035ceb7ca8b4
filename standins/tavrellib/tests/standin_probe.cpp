// A second process for the world tests: initialises the stand-in from
// TAVREL_STANDIN_WORLD and runs one command on a medium.
//   standin_probe exists TYPE DEV PASSWORD   prints "yes", "no" or the status
//   standin_probe destroy TYPE DEV PASSWORD  prints the status
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kt_api.h"

int main(int argc, char **argv) {
    if (argc != 5) return 2;
    if (DWORD status = KTInitialize()) {
        std::printf("init %lu\n", status);
        return 1;
    }
    KT_KEY_MEDIA media{};
    media.dwTypeIndex = std::strtoul(argv[2], nullptr, 10);
    media.dwDevIndex = std::strtoul(argv[3], nullptr, 10);
    std::strncpy(media.szPassword, argv[4], sizeof media.szPassword - 1);
    std::string command = argv[1];
    if (command == "exists") {
        BOOL exists = 0;
        DWORD status = KTIsPrivateKeyExists(&media, &exists);
        if (status) std::printf("%lu\n", status);
        else std::printf("%s\n", exists ? "yes" : "no");
    } else if (command == "destroy") {
        std::printf("%lu\n", KTDestroyPrivateKey(&media));
    } else {
        return 2;
    }
    KTFinalize();
    return 0;
}
