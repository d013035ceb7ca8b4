// Test helper: stand-in worlds built with the tavrel-world tool (TAVREL_WORLD_TOOL).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace standin_world {

// Runs tavrel-world with args; true on exit status 0.
inline bool run(const std::vector<std::string> &args) {
    std::vector<std::string> words = {TAVREL_WORLD_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// "е.ключ ВЕК Модра-1К", the accepted type, and its near miss without the last letter.
constexpr char kAcceptedType[] =
    "\xD0\xB5.\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xD0\x92\xD0\x95\xD0\x9A "
    "\xD0\x9C\xD0\xBE\xD0\xB4\xD1\x80\xD0\xB0-1\xD0\x9A";
constexpr char kNearMissType[] =
    "\xD0\xB5.\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87 \xD0\x92\xD0\x95\xD0\x9A "
    "\xD0\x9C\xD0\xBE\xD0\xB4\xD1\x80\xD0\xB0-1";

}  // namespace standin_world
