// The record converters, the dictionary functions and the error report, in an interpreter
// embedded in the test: Python 2.7's, or Python 3's (the same expectations, written in the
// Python both read).
#include <Python.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "converters.h"
#include "errors.h"
#include "py_compat.h"

namespace {

using kt_records::kt_field;
using kt_records::kt_record;

// A new reference, released at scope exit.
struct ref {
    PyObject *p;
    explicit ref(PyObject *object) : p(object) {}
    ref(const ref &) = delete;
    ref &operator=(const ref &) = delete;
    ~ref() { Py_XDECREF(p); }
    operator PyObject *() const { return p; }
};

class embedded_interpreter : public ::testing::Environment {
public:
    void SetUp() override {
#ifdef TAVREL_PYTHON_HOME
        Py_SetPythonHome(const_cast<char *>(TAVREL_PYTHON_HOME));  // Python 3 finds its own
#endif
        Py_InitializeEx(0);
    }
};
const auto *const interpreter = ::testing::AddGlobalTestEnvironment(new embedded_interpreter);

// Evaluates a Python expression.
PyObject *eval(const char *expression) {
    ref globals(PyDict_New());
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *value = PyRun_String(expression, Py_eval_input, globals, globals);
    if (!value) PyErr_Print();
    return value;
}

std::string repr(PyObject *object) {
    if (!object) return "<null>";
    ref text(PyObject_Repr(object));
    const char *shown = text.p ? Tavrel::py::native_text(text) : nullptr;
    return shown ? shown : "<no repr>";
}

// The object equals the value of a Python expression.
::testing::AssertionResult equals(PyObject *object, const char *expression) {
    ref expected(eval(expression));
    if (object && expected.p && PyObject_RichCompareBool(object, expected, Py_EQ) == 1 &&
        Py_TYPE(object) == Py_TYPE(expected.p))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << repr(object) << " is not " << expression;
}

const kt_record &record_named(const char *name) {
    for (const kt_record &r : kt_records::all)
        if (std::strcmp(r.name, name) == 0) return r;
    throw std::runtime_error(name);
}

template <class T>
void put(std::vector<char> &record, const kt_field &field, T value) {
    std::memcpy(record.data() + field.offset, &value, sizeof value);
}

struct converter {
    const char *name;
    const char *record;
    bool (*convert)(PyObject *, const void *);
};
#define TAVREL_CONVERTER_ENTRY(NAME, RECORD) \
    {#NAME, #RECORD, [](PyObject *d, const void *r) { return NAME(d, static_cast<const RECORD *>(r)); }},
const converter converters[] = {TAVREL_RECORD_CONVERTERS(TAVREL_CONVERTER_ENTRY)};

const char cyrillic[] = "\xd2\xe5\xea\xf1\xf2";  // "Текст" in Windows-1251

// Field i of every record: a value of its kind that tells fields apart.
TEST(RecordToDictionary, EveryFieldOfEveryRecord) {
    EXPECT_EQ(std::size(converters), std::size(kt_records::all) - 1);  // KT_CERTIFICATES has a list instead
    for (const converter &c : converters) {
        const kt_record &r = record_named(c.record);
        std::vector<char> record(r.size, 0);
        std::vector<std::string> texts;
        texts.reserve(r.field_count);
        for (size_t i = 0; i < r.field_count; ++i) {
            const kt_field &f = r.fields[i];
            switch (f.kind) {
            case kt_records::KT_FIELD_WORD: put<WORD>(record, f, WORD(1000 + i)); break;
            case kt_records::KT_FIELD_INT: put<int>(record, f, int(i % 3)); break;
            case kt_records::KT_FIELD_ULONG: put<DWORD>(record, f, (DWORD(1) << 40) + i); break;
            case kt_records::KT_FIELD_ULONGLONG: put<unsigned long long>(record, f, (1ULL << 63) + i); break;
            case kt_records::KT_FIELD_TEXT_PTR:
                texts.push_back(cyrillic + std::to_string(i));
                put<const char *>(record, f, i % 4 == 3 ? nullptr : texts.back().c_str());
                break;
            case kt_records::KT_FIELD_TEXT_ARRAY:
                std::snprintf(record.data() + f.offset, f.size, "%s%zu", cyrillic, i);
                break;
            case kt_records::KT_FIELD_TIME: {
                SYSTEMTIME time = {WORD(2000 + i), 2, 3, 4, 5, 6, 7, 8};
                put(record, f, time);
                break;
            }
            case kt_records::KT_FIELD_CERT_LIST: FAIL() << f.name;
            }
        }
        ref dict(PyDict_New());
        ASSERT_TRUE(c.convert(dict, record.data())) << c.name;
        EXPECT_EQ(size_t(PyDict_Size(dict)), r.field_count) << c.name;
        for (size_t i = 0; i < r.field_count; ++i) {
            const kt_field &f = r.fields[i];
            PyObject *value = PyDict_GetItemString(dict, f.name);
            std::string expected;
            switch (f.kind) {
            case kt_records::KT_FIELD_WORD: expected = std::to_string(1000 + i); break;
            case kt_records::KT_FIELD_INT: expected = i % 3 ? "True" : "False"; break;
            case kt_records::KT_FIELD_ULONG:
                // KT_USER_INFO's dwVersion keeps the low 32 bits: i
                expected = std::to_string(r.fields == kt_records::KT_USER_INFO_fields ? i : (1UL << 40) + i);
                break;
            case kt_records::KT_FIELD_ULONGLONG: expected = std::to_string((1ULL << 63) + i); break;
            case kt_records::KT_FIELD_TEXT_PTR:
                expected = i % 4 == 3 ? "None" : "u'\\u0422\\u0435\\u043a\\u0441\\u0442" + std::to_string(i) + "'";
                break;
            case kt_records::KT_FIELD_TEXT_ARRAY: {
                std::string text = (cyrillic + std::to_string(i)).substr(0, f.size - 1);
                ref decoded(PyUnicode_Decode(text.data(), Py_ssize_t(text.size()), "cp1251", "strict"));
                expected = repr(decoded);
                break;
            }
            case kt_records::KT_FIELD_TIME:
                expected = "{'wYear': " + std::to_string(2000 + i) +
                           ", 'wMonth': 2, 'wDayOfWeek': 3, 'wDay': 4, 'wHour': 5, 'wMinute': 6, 'wSecond': 7, "
                           "'wMilliseconds': 8}";
                break;
            case kt_records::KT_FIELD_CERT_LIST: break;
            }
            EXPECT_TRUE(equals(value, expected.c_str())) << c.name << "." << f.name;
        }
    }
}

TEST(RecordToDictionary, ExactIntegersAndFlags) {
    KT_CERT_INFO_EX info{};
    info.dwVersion = (DWORD(1) << 32) + 5;
    info.dwLimitValue = ~DWORD(0);
    info.dwSubjType = DWORD(1) << 31;
    info.iChainLength = 3;
    KT_USER_PARAMS params{};
    params.nSN = -1;
    ref dict(PyDict_New()), more(PyDict_New());
    ASSERT_TRUE(CertInfoExToDictionary(dict, &info));
    ASSERT_TRUE(UserParamsToDictionary(more, &params));
    EXPECT_TRUE(equals(PyDict_GetItemString(dict, "dwVersion"), "4294967301"));
    EXPECT_TRUE(equals(PyDict_GetItemString(dict, "dwLimitValue"), "18446744073709551615"));
    EXPECT_TRUE(equals(PyDict_GetItemString(dict, "dwSubjType"), "2147483648"));
    EXPECT_TRUE(equals(PyDict_GetItemString(dict, "iChainLength"), "True"));
    EXPECT_TRUE(equals(PyDict_GetItemString(more, "nSN"), "True"));
    EXPECT_TRUE(equals(PyDict_GetItemString(more, "nVersion"), "False"));
}

TEST(RecordToDictionary, UserInfoVersionIsTheLowWordSigned) {
    const std::pair<DWORD, const char *> cases[] = {
        {5, "5"},
        {(DWORD(1) << 32) + 7, "7"},
        {0xFFFFFFFF, "-1"},
        {DWORD(0x80000000), "-2147483648"},
        {DWORD(0x7FFFFFFF), "2147483647"},
        {~DWORD(0), "-1"},
    };
    for (const auto &[version, expected] : cases) {
        KT_USER_INFO info{};
        info.dwVersion = version;
        ref dict(PyDict_New());
        ASSERT_TRUE(UserInfoToDictionary(dict, &info));
        EXPECT_TRUE(equals(PyDict_GetItemString(dict, "dwVersion"), expected)) << version;
    }
}

TEST(RecordToDictionary, FailsWithoutRaising) {
    KT_CERT_OWNER_INFO owner{};
    char undecodable[] = "a\x98";
    owner.pszIssuer = const_cast<char *>(cyrillic);
    owner.pszIssuerCN = undecodable;
    ref dict(PyDict_New());
    EXPECT_FALSE(CertOwnerInfoToDictionary(dict, &owner));
    EXPECT_FALSE(PyErr_Occurred());
    EXPECT_TRUE(equals(dict, "{'bFilled': False, 'pszIssuer': u'\\u0422\\u0435\\u043a\\u0441\\u0442'}"));
    EXPECT_FALSE(CertOwnerInfoToDictionary(dict, nullptr));

    KT_KEY_MEDIA media{};
    std::memset(media.szPassword, 'a', sizeof media.szPassword);  // no NUL: the field's size bounds it
    ASSERT_TRUE(KeyMediaToDictionary(dict, &media));
    EXPECT_TRUE(equals(PyDict_GetItemString(dict, "szPassword"), "u'a' * 65"));

    ref not_a_dictionary(PyList_New(0));
    EXPECT_FALSE(KeyMediaToDictionary(not_a_dictionary, &media));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(CertificatesToList, OneDictionaryPerCertificateInOrder) {
    KT_CERT_INFO_EX first{}, second{};
    first.pszSerial = const_cast<char *>("01");
    second.pszSerial = const_cast<char *>("02");
    KT_CERT_INFO_EX *array[] = {&first, &second, nullptr};
    KT_CERTIFICATES certificates{2, array};
    ref list(PyList_New(0));
    ASSERT_TRUE(CertificatesToList(list, &certificates));
    ASSERT_EQ(PyList_Size(list), 2);
    EXPECT_TRUE(equals(PyDict_GetItemString(PyList_GetItem(list, 1), "pszSerial"), "u'02'"));
    EXPECT_EQ(PyDict_Size(PyList_GetItem(list, 0)), 60);

    certificates.dwCount = 3;  // the third is null: the two before it stay
    ref partial(PyList_New(0));
    EXPECT_FALSE(CertificatesToList(partial, &certificates));
    EXPECT_EQ(PyList_Size(partial), 2);
    certificates.ppCertificates = nullptr;
    EXPECT_FALSE(CertificatesToList(partial, &certificates));
    certificates.dwCount = 0;
    EXPECT_TRUE(CertificatesToList(partial, &certificates));
    EXPECT_FALSE(PyErr_Occurred());
}

struct media_case {
    const char *dictionary;
    bool ok;
    DWORD type, device;
    std::string password;
};

TEST(KeyMediaFromDictionary, Cases) {
    const media_case cases[] = {
        {"{'dwTypeIndex': 1, 'dwDevIndex': 2, 'szPassword': 'a' * 64}", true, 1, 2, std::string(64, 'a')},
        {"{'dwTypeIndex': 1, 'dwDevIndex': 2, 'szPassword': 'a' * 65}", false, 0, 0, ""},  // never cut
        {"{'dwTypeIndex': 0, 'dwDevIndex': 0, 'szPassword': u'\\u043f\\u0430\\u0440'}", true, 0, 0, "\xef\xe0\xf0"},
        {"{'dwTypeIndex': True, 'dwDevIndex': 2 ** 64 - 1, 'szPassword': b'x\\0y'}", true, 1, ~DWORD(0), "x"},
        {"{'dwTypeIndex': 1, 'dwDevIndex': -1, 'szPassword': ''}", false, 0, 0, ""},
        {"{'dwTypeIndex': 1, 'dwDevIndex': 2 ** 64, 'szPassword': ''}", false, 0, 0, ""},
        {"{'dwTypeIndex': 1, 'dwDevIndex': -2 ** 64 // 2 ** 64, 'szPassword': ''}", false, 0, 0, ""},  // 2.7: a long
        {"{'dwTypeIndex': 1.0, 'dwDevIndex': 0, 'szPassword': ''}", false, 0, 0, ""},
        {"{'dwTypeIndex': 1, 'dwDevIndex': 0, 'szPassword': None}", false, 0, 0, ""},
        {"{'dwTypeIndex': 1, 'dwDevIndex': 0, 'szPassword': u'\\u4e00'}", false, 0, 0, ""},
        {"{'dwTypeIndex': 1, 'szPassword': ''}", false, 0, 0, ""},
    };
    for (const media_case &c : cases) {
        ref dict(eval(c.dictionary));
        KT_KEY_MEDIA media{};
        EXPECT_EQ(KeyMediaFromDictionary(dict, &media), c.ok) << c.dictionary;
        EXPECT_FALSE(PyErr_Occurred());
        if (!c.ok) continue;
        EXPECT_EQ(media.dwTypeIndex, c.type) << c.dictionary;
        EXPECT_EQ(media.dwDevIndex, c.device) << c.dictionary;
        EXPECT_EQ(std::string(media.szPassword), c.password) << c.dictionary;
        EXPECT_EQ(media.szPassword[64], 0);
    }
}

TEST(UserInfoFromDictionary, EveryKeyRequiredTextsNeverCut) {
    const kt_record &r = record_named("KT_USER_INFO");
    ref dict(PyDict_New());
    for (size_t i = 0; i < r.field_count; ++i) {
        const kt_field &f = r.fields[i];
        ref value(f.kind == kt_records::KT_FIELD_ULONG
                      ? PyLong_FromUnsignedLong((DWORD(1) << 40) + 1)
                      : eval(("u'\\u042f' * " + std::to_string(f.size - 1)).c_str()));
        PyDict_SetItemString(dict, f.name, value);
    }
    KT_USER_INFO info;
    std::memset(&info, 0xAA, sizeof info);
    ASSERT_TRUE(UserInfoFromDictionary(dict, &info));
    EXPECT_EQ(info.dwVersion, (DWORD(1) << 40) + 1);
    for (size_t i = 0; i < r.field_count; ++i) {
        const kt_field &f = r.fields[i];
        if (f.kind != kt_records::KT_FIELD_TEXT_ARRAY) continue;
        const char *text = reinterpret_cast<const char *>(&info) + f.offset;
        EXPECT_EQ(std::string(text, f.size), std::string(f.size - 1, '\xdf') + '\0') << f.name;
    }

    // A text one byte longer than its field holds is refused, not cut.
    for (size_t i = 0; i < r.field_count; ++i) {
        const kt_field &f = r.fields[i];
        if (f.kind != kt_records::KT_FIELD_TEXT_ARRAY) continue;
        ref fitting(PyDict_Copy(dict));
        ref long_text(PyBytes_FromStringAndSize(std::string(f.size, 'x').data(), Py_ssize_t(f.size)));
        PyDict_SetItemString(fitting, f.name, long_text);
        Tavrel::text_fault fault = Tavrel::text_fault::none;
        EXPECT_FALSE(UserInfoFromDictionary(fitting, &info, &fault)) << f.name;
        EXPECT_EQ(int(fault), int(Tavrel::text_fault::too_long)) << f.name;
    }

    // A shorter text leaves the rest of its field zero-filled.
    ref short_text(PyBytes_FromString("ab"));
    PyDict_SetItemString(dict, "szDNS", short_text);
    ASSERT_TRUE(UserInfoFromDictionary(dict, &info));
    EXPECT_EQ(std::string(info.szDNS, sizeof info.szDNS), "ab" + std::string(sizeof info.szDNS - 2, '\0'));

    ref organisation(PyDict_GetItemString(dict, "szOrganiztion"));
    Py_INCREF(organisation.p);
    PyDict_DelItemString(dict, "szOrganiztion");
    PyDict_SetItemString(dict, "szOrganization", organisation);
    EXPECT_FALSE(UserInfoFromDictionary(dict, &info));
    PyDict_SetItemString(dict, "szOrganiztion", Py_None);
    EXPECT_FALSE(UserInfoFromDictionary(dict, &info));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(DictionaryFunctions, BoolsStringsAndInts) {
    ref dict(eval("{'one': 1, 'yes': True, 'no': False, 'none': None, 'text': u'\\u0422x', 'bad': u'\\u4e00',"
                  " 'big': 2 ** 64 - 1, 'neg': -5, 'float': 2.0}"));
    BOOL flag = 7;
    EXPECT_FALSE(GetDictionaryBool(dict, "one", &flag));
    EXPECT_EQ(flag, 7);
    EXPECT_TRUE(GetDictionaryBool(dict, "yes", &flag));
    EXPECT_EQ(flag, 1);
    EXPECT_TRUE(GetDictionaryBool(dict, "no", &flag));
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(GetDictionaryBool(dict, "missing", &flag));

    char buffer[4] = {'z', 'z', 'z', 'z'};
    EXPECT_FALSE(GetDictionaryString(dict, "text", buffer, 0));  // no room for any text
    EXPECT_EQ(std::string(buffer, 4), "zzzz");
    EXPECT_TRUE(GetDictionaryString(dict, "text", buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer, 4), std::string("\xd2x\0\0", 4));
    for (const char *key : {"none", "bad", "one", "missing"}) EXPECT_FALSE(GetDictionaryString(dict, key, buffer, 4));

    DWORD number = 9;
    EXPECT_TRUE(GetDictionaryInt(dict, "big", &number));
    EXPECT_EQ(number, ~DWORD(0));
    for (const char *key : {"neg", "float", "none", "missing"}) EXPECT_FALSE(GetDictionaryInt(dict, key, &number));
    EXPECT_EQ(number, ~DWORD(0));
    EXPECT_FALSE(PyErr_Occurred());
}

// Runs statements in a fresh namespace and gives the value they left under `result`.
PyObject *run(const char *statements) {
    ref globals(PyDict_New());
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    ref done(PyRun_String(statements, Py_file_input, globals, globals));
    if (!done.p) PyErr_Print();
    PyObject *result = PyDict_GetItemString(globals, "result");
    Py_XINCREF(result);
    return result;
}

// A key is found under its str name and, under Python 3, as bytes (2.7's str); the str key
// first. Python 2.7 itself takes a unicode key as the str key, and one key spelled both ways
// is one entry there.
TEST(DictionaryFunctions, KeysByName) {
    struct key_case {
        const char *dictionary;
        long python2, python3;  // the value read under "n"; -1: not found
    };
    const key_case cases[] = {
        {"{'n': 1}", 1, 1},
        {"{u'n': 1}", 1, 1},
        {"{b'n': 2}", 2, 2},
        {"{'n': 1, b'n': 2}", 2, 1},
        {"{b'n': 2, 'n': 1}", 1, 1},
        {"{b'n': -2, 'n': 1}", 1, 1},
        {"{'n': -1, b'n': 2}", 2, -1},
        {"{b'm': 2, 'N': 2}", -1, -1},
    };
    const bool python3 = PY_MAJOR_VERSION >= 3;
    for (const key_case &c : cases) {
        ref dict(eval(c.dictionary));
        DWORD number = 99;
        const long expected = python3 ? c.python3 : c.python2;
        EXPECT_EQ(GetDictionaryInt(dict, "n", &number), expected >= 0) << c.dictionary;
        EXPECT_EQ(number, expected >= 0 ? DWORD(expected) : 99) << c.dictionary;
    }

    ref texts(eval("{b'text': b'ab', b'flag': True, 'other': 1}"));
    char buffer[4];
    EXPECT_TRUE(GetDictionaryString(texts, "text", buffer, sizeof buffer));
    EXPECT_EQ(std::string(buffer, 4), std::string("ab\0\0", 4));
    BOOL flag = 0;
    EXPECT_TRUE(GetDictionaryBool(texts, "flag", &flag));
    EXPECT_EQ(flag, 1);
    EXPECT_FALSE(PyErr_Occurred());
}

// A key of the byte-string type whose __eq__ runs script code: keys are matched by their
// characters, so the lookups find it and run none.
TEST(DictionaryFunctions, KeysWhoseComparisonRunsScriptCode) {
    for (const char *comparison : {"result.clear() or True", "1 // 0"}) {
        std::string script = std::string("Key = type('Key', (type(b''),), {'__hash__': type(b'').__hash__,\n"
                                         "    '__eq__': lambda key, other: ") +
                             comparison + "})\nresult = {Key(b'n'): 5, Key(b'f'): True, Key(b't'): b'x'}\n";
        ref dict(run(script.c_str()));
        ASSERT_TRUE(dict.p) << comparison;
        DWORD number = 99;
        BOOL flag = 7;
        char buffer[4] = {'z', 'z', 'z', 'z'};
        EXPECT_TRUE(GetDictionaryInt(dict, "n", &number)) << comparison;
        EXPECT_TRUE(GetDictionaryBool(dict, "f", &flag)) << comparison;
        EXPECT_TRUE(GetDictionaryString(dict, "t", buffer, sizeof buffer)) << comparison;
        EXPECT_EQ(std::make_tuple(number, flag, std::string(buffer, 4)),
                  std::make_tuple(DWORD(5), BOOL(1), std::string("x\0\0\0", 4)));
        EXPECT_EQ(PyDict_Size(dict), 3) << comparison;
        EXPECT_FALSE(PyErr_Occurred()) << comparison;
    }
}

// ---- error report, through a table whose only slot is KTGetErrorDesc ----

const char *error_text = nullptr;
char *fake_error_desc(DWORD) { return const_cast<char *>(error_text); }

class ErrorReport : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&table, 0, sizeof table);
        table.KTGetErrorDesc = fake_error_desc;
    }
    // The exception that raise_error left: its type and its value (the exception's argument,
    // as a script's `e.args[0]`).
    std::pair<PyObject *, std::string> raised(DWORD code, PyObject *type) {
        EXPECT_EQ(Tavrel::raise_error(&table, code, type), nullptr);
        PyObject *kind, *value, *traceback;
        PyErr_Fetch(&kind, &value, &traceback);
        PyErr_NormalizeException(&kind, &value, &traceback);
        ref args(value ? PyObject_GetAttrString(value, "args") : nullptr);
        std::string text = args.p && PyTuple_Check(args.p) && PyTuple_GET_SIZE(args.p) == 1
                               ? repr(PyTuple_GET_ITEM(args.p, 0))
                               : "<no single argument>";
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        Py_XDECREF(kind);
        return {kind, text};
    }
    KT_INTERFACE table;
};

TEST_F(ErrorReport, DictionaryWithTheLibraryBytes) {
    error_text = cyrillic;
    auto [kind, value] = raised((DWORD(1) << 32) + 5, PyExc_RuntimeError);
    EXPECT_EQ(kind, PyExc_RuntimeError);
    EXPECT_EQ(value, repr(ref(eval("{'ErrorCode': 4294967301, 'ErrorDesc': b'\\xd2\\xe5\\xea\\xf1\\xf2'}"))));
    EXPECT_STREQ(g_szError, cyrillic);
}

TEST_F(ErrorReport, TextsUpToTheBufferSize) {
    std::string longest(1024, 'e'), longer(2000, 'e');
    error_text = longest.c_str();
    EXPECT_TRUE(SetKTErrorMessage(&table, 2));
    EXPECT_EQ(std::string(g_szError), longest);
    error_text = longer.c_str();
    EXPECT_TRUE(SetKTErrorMessage(&table, 2));
    EXPECT_EQ(std::string(g_szError), std::string(sizeof g_szError - 1, 'e'));
}

TEST_F(ErrorReport, NullTextGivesNone) {
    error_text = nullptr;
    auto [kind, value] = raised(6, PyExc_TypeError);
    EXPECT_EQ(kind, PyExc_TypeError);
    EXPECT_EQ(value, "{'ErrorCode': 6, 'ErrorDesc': None}");
    EXPECT_STREQ(g_szError, "");
    table.KTGetErrorDesc = nullptr;
    EXPECT_FALSE(SetKTErrorMessage(&table, 6));
    EXPECT_FALSE(SetKTErrorMessage(nullptr, 6));
}

TEST_F(ErrorReport, CreateNeedsAPlace) {
    EXPECT_FALSE(CreateTavrelException(2, "text", nullptr));
    PyObject *dict = nullptr;
    ASSERT_TRUE(CreateTavrelException(2, "text", &dict));
    EXPECT_TRUE(equals(dict, "{'ErrorCode': 2, 'ErrorDesc': b'text'}"));
    Py_DECREF(dict);
}

}  // namespace
