/* Record classes, one after another in the order of sigapi/records.txt: for each field its
 * setter and getter, then new_<RECORD>, delete_<RECORD> and <RECORD>_swigregister
 * (TAVREL_SWIGREGISTER). Blocks come from a Tavrel::live_registry, so that a delete or an
 * accessor given a stale object neither frees nor reaches freed memory. */
