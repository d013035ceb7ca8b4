// Error texts of the library, in Windows-1251: Ukrainian by default, English for
// KT_EN_LANG.
#include <string>
#include <vector>

#include "controls.h"
#include "cp1251.h"
#include "kt_api.h"
#include "tavrel_standin.h"

namespace {

struct error_text {
    DWORD code;
    const char *ukrainian;  // UTF-8 here, Windows-1251 when handed out
    const char *english;
};

const error_text error_texts[] = {
    {KT_ERROR_NONE, "Помилки немає", "No error"},
    {KT_ERROR_BAD_PARAMETER, "Невірний параметр", "Invalid parameter"},
    {KT_ERROR_RESOURCE_FAILED, "Не вдалося створити ресурс", "Failed to create a resource"},
    {KT_ERROR_NO_MORE_ITEMS, "Більше немає елементів", "No more items"},
    {KT_ERROR_KEY_MEDIAS_ACCESS_FAILED, "Носій ключової інформації відмовив у доступі",
     "Key media access failed"},
    {TAVREL_STANDIN_ERROR_NOT_SUPPORTED, "Функція не підтримується заглушкою бібліотеки",
     "Function not supported by the stand-in library"},
    {TAVREL_STANDIN_ERROR_NOT_INITIALIZED, "Бібліотеку не ініціалізовано", "Library not initialized"},
    {TAVREL_STANDIN_ERROR_WORLD, "Файл світу заглушки не читається або містить помилки",
     "Stand-in world file cannot be read or is invalid"},
    {TAVREL_STANDIN_ERROR_NO_KEY, "На носії немає особистого ключа", "No private key on the key medium"},
    {TAVREL_STANDIN_ERROR_FILE, "Помилка читання або запису файлу", "File read or write failed"},
    {TAVREL_STANDIN_ERROR_CRYPTO, "Помилка криптографічної операції або невірні дані",
     "Cryptographic operation failed or data invalid"},
    {TAVREL_STANDIN_ERROR_VERIFY, "Підпис не відповідає даним або сертифікату",
     "Signature does not match the data or the certificate"},
    {TAVREL_STANDIN_ERROR_CONTROL, "Невірне значення змінної середовища TAVREL_STANDIN_*",
     "Malformed TAVREL_STANDIN_* environment variable"},
    {TAVREL_STANDIN_ERROR_CERT_NOT_FOUND, "Сертифікат потрібного типу не знайдено",
     "Certificate of the requested kind not found"},
    {TAVREL_STANDIN_ERROR_FILE_TOO_LARGE, "Файл більший, ніж читає заглушка бібліотеки (64 МіБ)",
     "File larger than the stand-in library reads (64 MiB)"},
    {TAVREL_STANDIN_ERROR_KEY_EXISTS, "Іменований ключ з такою міткою вже існує",
     "A named private key with this label already exists"},
};
constexpr size_t error_text_count = sizeof(error_texts) / sizeof(error_texts[0]);
const error_text unknown_error = {0, "Невідома помилка", "Unknown error"};

// The texts of one language in Windows-1251, made once; the last is the unknown text.
const std::vector<std::string> &converted(bool in_english) {
    static const auto make = [](bool en) {
        std::vector<std::string> out;
        for (size_t i = 0; i <= error_text_count; ++i) {
            const error_text &t = i < error_text_count ? error_texts[i] : unknown_error;
            out.push_back(tavrel_standin::utf8_to_cp1251_lossy(en ? t.english : t.ukrainian));
        }
        return out;
    };
    static const std::vector<std::string> ukrainian_texts = make(false);
    static const std::vector<std::string> english_texts = make(true);
    return in_english ? english_texts : ukrainian_texts;
}

char *text_for(DWORD code, DWORD language) noexcept {
    try {
        const std::vector<std::string> &texts = converted(language == KT_EN_LANG);
        size_t index = error_text_count;
        for (size_t i = 0; i < error_text_count; ++i)
            if (error_texts[i].code == code) index = i;
        // Library-owned and never written through: callers only read it.
        return const_cast<char *>(texts[index].c_str());
    } catch (...) {
        static char fallback[] = "Error";  // the tables could not be made
        return fallback;
    }
}

}  // namespace

extern "C" {

char *KTGetErrorDesc(DWORD dwError) {
    tavrel_standin::note_call(__func__);
    return text_for(dwError, 0);
}

char *KTGetErrorLangDesc(DWORD dwError, DWORD dwLang) {
    tavrel_standin::note_call(__func__);
    return text_for(dwError, dwLang);
}

}  // extern "C"
