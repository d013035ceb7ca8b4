// Brackets the signature library's initialisation: construction initialises it (in UI
// mode 0), destruction finalises it. Each deliverable keeps its own guard class in an
// unnamed namespace of the unit that owns it, so the log lines carry that unit's path,
// and builds it with the line it is made on, which both log lines carry:
//
//   namespace {
//   constexpr char kUnitFile[] = __FILE__;
//   class kt_guard : public Zarn::Support::basic_kt_guard<kUnitFile> {
//       using basic_kt_guard::basic_kt_guard;
//   };
//   }
//   ...
//   static kt_guard _s_kt_guard(__LINE__);
#pragma once

#include "kt_api.h"
#include "zarn/support/exceptions.h"
#include "zarn/support/kt_owners.h"
#include "zarn/support/log.h"

namespace Zarn {
namespace Support {

template <const char *UnitFile>
class basic_kt_guard {
public:
    explicit basic_kt_guard(int line) : line(line) {
        KTSetUIMode(false);
        const DWORD status = KTInitialize();
        if (status != KT_ERROR_NONE) {
            LogWrite(UnitFile, line, "kt_guard", kLogFail, "fail: KTInitialize (error:%lu, %s)", status,
                     kt_error_text(status));
            throw internal_error();
        }
        KTSetUIMode(false);
        LogWrite(UnitFile, line, "kt_guard", kLogTrace, "done: KTInitialize");
    }

    ~basic_kt_guard() {
        KTFinalize();
        LogWrite(UnitFile, line, "~kt_guard", kLogTrace, "done: KTFinalize");
    }

    basic_kt_guard(const basic_kt_guard &) = delete;
    basic_kt_guard &operator=(const basic_kt_guard &) = delete;

private:
    const int line;  // where the owning unit made the guard
};

}  // namespace Support
}  // namespace Zarn
