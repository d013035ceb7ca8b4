// Brackets the signature library's initialisation: construction initialises it (in UI
// mode 0), destruction finalises it. Each deliverable keeps its own guard class in an
// unnamed namespace of the unit that owns it, so the log lines carry that unit's path:
//
//   namespace {
//   constexpr char kUnitFile[] = __FILE__;
//   class kt_guard : public Zarn::Support::basic_kt_guard<kUnitFile> {};
//   }
#pragma once

#include "kt_api.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {

template <const char *UnitFile>
class basic_kt_guard {
public:
    basic_kt_guard() {
        KTSetUIMode(0);
        const DWORD status = KTInitialize();
        if (status != KT_ERROR_NONE) {
            LogWrite(UnitFile, __LINE__, "kt_guard", kLogFail, "fail: KTInitialize (error:%lu, %s)", status,
                     KTGetErrorLangDesc(status, KT_EN_LANG));
            throw internal_error();
        }
        KTSetUIMode(0);
        LogWrite(UnitFile, __LINE__, "kt_guard", kLogTrace, "done: KTInitialize");
    }

    ~basic_kt_guard() {
        KTFinalize();
        LogWrite(UnitFile, __LINE__, "~kt_guard", kLogTrace, "done: KTFinalize");
    }

    basic_kt_guard(const basic_kt_guard &) = delete;
    basic_kt_guard &operator=(const basic_kt_guard &) = delete;
};

}  // namespace Support
}  // namespace Zarn
