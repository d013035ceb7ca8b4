/* The least a program can do for a media listing: initialise the signature library,
 * enumerate the devices of the accepted key-media type, print their serials, finalise.
 * The yardstick of bench_media_list.sh. */
#include <stdio.h>
#include <string.h>

#include "kt_api.h"

/* "е.ключ ВЕК Модра-1К" in Windows-1251 */
static const char accepted[] = "\xE5.\xEA\xEB\xFE\xF7 \xC2\xC5\xCA \xCC\xEE\xE4\xF0\xE0-1\xCA";

int main(void) {
    char type[272], device[272];
    DWORD i, j;
    KTSetUIMode(0);
    if (KTInitialize() != 0) return 70;
    for (i = 0; i < KT_KEY_MEDIA_MAX_TYPES && KTEnumKeyMediaTypes(i, type) == 0; ++i) {
        if (strcmp(type, accepted) != 0) continue;
        for (j = 0; j < KT_KEY_MEDIA_MAX_DEVICES && KTEnumKeyMediaDevices(i, j, device) == 0; ++j)
            printf("%s\n", device);
    }
    KTFinalize();
    return 0;
}
