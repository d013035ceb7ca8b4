// The library files as a loader sees them: names, DllMain and its trace lines.
#include <dlfcn.h>

#include "standin_fixture.h"

namespace standin_test {
namespace {

struct variant {
    const char *name;
    const char *path;
    bool has_dllmain;
    BOOL attach_result;
    const char *missing;  // the one name that does not resolve, or null
};

class VariantTest : public ::testing::TestWithParam<variant> {};

TEST_P(VariantTest, NamesAndDllMain) {
    const variant &v = GetParam();
    char pattern[] = "/tmp/tavrel-standin-trace-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TAVREL_STANDIN_TRACE", pattern, 1);

    void *handle = dlopen(v.path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    std::vector<std::string> unresolved;
    for (const char *name : kt_function_names)
        if (!dlsym(handle, name)) unresolved.push_back(name);
    EXPECT_EQ(unresolved, v.missing ? std::vector<std::string>{v.missing} : std::vector<std::string>{});

    auto dll_main = reinterpret_cast<KT_DLLMAIN>(dlsym(handle, KT_DLLMAIN_NAME));
    EXPECT_EQ(dll_main != nullptr, v.has_dllmain);
    std::string expected_trace;
    if (dll_main) {
        EXPECT_EQ(dll_main(handle, 1, nullptr), v.attach_result);
        EXPECT_EQ(dll_main(handle, 0, nullptr), 1);
        expected_trace = "DllMain 1\nDllMain 0\n";
    }
    dlclose(handle);
    unsetenv("TAVREL_STANDIN_TRACE");
    EXPECT_EQ(read_text(pattern), expected_trace);
    std::remove(pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Files, VariantTest,
    ::testing::Values(variant{"Default", STANDIN_LIB_DEFAULT, true, 1, nullptr},
                      variant{"NoDllMain", STANDIN_LIB_NO_DLLMAIN, false, 1, nullptr},
                      variant{"RefusingDllMain", STANDIN_LIB_REFUSING_DLLMAIN, true, 0, nullptr},
                      variant{"MissingName", STANDIN_LIB_MISSING_NAME, true, 1, STANDIN_MISSING_NAME}),
    [](const ::testing::TestParamInfo<variant> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace standin_test
