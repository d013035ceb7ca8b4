// The guard against a scripted library and a capturing logger defined in this file.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zarn/support/kt_guard.h"

namespace {

std::vector<std::string> calls;  // library calls in order
std::vector<std::string> lines;  // "<level> <function> <text>"
std::vector<int> sourceLines;    // the line each log call carried
DWORD initialize_status = 0;
constexpr int kMadeOn = 4242;  // the line a unit passes when it makes its guard

constexpr char kUnitFile[] = __FILE__;
class kt_guard : public Zarn::Support::basic_kt_guard<kUnitFile> {
    using basic_kt_guard::basic_kt_guard;
};

class KtGuard : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        lines.clear();
        sourceLines.clear();
        initialize_status = 0;
    }
};

TEST_F(KtGuard, InitialisesInUiModeZeroAndFinalisesOnce) {
    {
        kt_guard guard(kMadeOn);
        EXPECT_EQ((std::vector<std::string>{"KTSetUIMode(0)", "KTInitialize", "KTSetUIMode(0)"}), calls);
        EXPECT_EQ((std::vector<std::string>{"4 kt_guard done: KTInitialize"}), lines);
    }
    EXPECT_EQ("KTFinalize", calls.back());
    EXPECT_EQ(4u, calls.size());
    EXPECT_EQ((std::vector<std::string>{"4 kt_guard done: KTInitialize", "4 ~kt_guard done: KTFinalize"}), lines);
    EXPECT_EQ((std::vector<int>{kMadeOn, kMadeOn}), sourceLines);  // both carry the maker's line
}

TEST_F(KtGuard, FailedInitialisationLogsOnceAndUndoesNothing) {
    initialize_status = 0x100000006;  // wider than 32 bits: logged whole
    EXPECT_THROW(kt_guard{kMadeOn}, Zarn::Support::internal_error);
    EXPECT_EQ((std::vector<std::string>{"KTSetUIMode(0)", "KTInitialize"}), calls);
    EXPECT_EQ((std::vector<std::string>{"1 kt_guard fail: KTInitialize (error:4294967302, text 4294967302/3)"}),
              lines);
    EXPECT_EQ(std::vector<int>{kMadeOn}, sourceLines);
}

}  // namespace

extern "C" {

void KTSetUIMode(BOOL mode) { calls.push_back("KTSetUIMode(" + std::to_string(mode) + ")"); }

DWORD KTInitialize(void) {
    calls.push_back("KTInitialize");
    return initialize_status;
}

void KTFinalize(void) { calls.push_back("KTFinalize"); }

char *KTGetErrorLangDesc(DWORD error, DWORD lang) {
    static char text[64];
    std::snprintf(text, sizeof text, "text %lu/%lu", error, lang);
    return text;
}

int LogWrite(const char *sourceFile, int line, const char *functionName, int level, const char *format, ...) {
    EXPECT_STREQ(kUnitFile, sourceFile);
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lines.push_back(std::to_string(level) + " " + functionName + " " + text);
    sourceLines.push_back(line);
    return 0;
}
}
