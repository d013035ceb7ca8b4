/* The interface compiled as C, as a C client sees it: the records' layout assertions
 * hold in C as well, and the table is measured here for the C++ side to compare. */
#include "kt_api.h"

size_t kt_api_c_table_slots(void);

size_t kt_api_c_table_slots(void) { return sizeof(KT_INTERFACE) / sizeof(void *); }
