/* The least a program can do for a media listing: initialise the signature library,
 * enumerate the devices of the accepted key-media type, print their serials, finalise.
 * The yardstick of bench_media_list.sh. */
#include <stdio.h>
#include <string.h>

typedef unsigned long DWORD;
typedef int BOOL;
DWORD KTInitialize(void);
void KTFinalize(void);
void KTSetUIMode(BOOL mode);
DWORD KTEnumKeyMediaTypes(DWORD typeIndex, char *description);
DWORD KTEnumKeyMediaDevices(DWORD typeIndex, DWORD deviceIndex, char *description);

/* "е.ключ ВЕК Модра-1К" in Windows-1251 */
static const char accepted[] = "\xE5.\xEA\xEB\xFE\xF7 \xC2\xC5\xCA \xCC\xEE\xE4\xF0\xE0-1\xCA";

int main(void) {
    char type[272], device[272];
    DWORD i, j;
    KTSetUIMode(0);
    if (KTInitialize() != 0) return 70;
    for (i = 0; i < 32 && KTEnumKeyMediaTypes(i, type) == 0; ++i) {
        if (strcmp(type, accepted) != 0) continue;
        for (j = 0; j < 32 && KTEnumKeyMediaDevices(i, j, device) == 0; ++j) printf("%s\n", device);
    }
    KTFinalize();
    return 0;
}
