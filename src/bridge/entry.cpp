/*
 * What every entry point runs before and after its body, and what an
 * unwound call releases: kept beside the template that calls them
 * (entry.h), so that the wrapper of every call can be read in one place.
 */
#include "entry.h"

#include "bridge.h"
#include "vek_internal.h"

unsigned long ST_CALL;

void st_entry_start(void) {
  _vek_reap_servers();
  st_forget_closed_connection();
}

void st_entry_end(void) { st_forget_closed_connection(); }

void st_entry_unwind(void) { st_file_from_db_free(); }
