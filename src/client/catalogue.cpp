/*
 * Walking the project tree: the lists of Studies, Directories, Files and
 * Variables, the existence tests, the Set requests that make an item
 * current on the server, and the release of what the lists hand out.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "vek_internal.h"

/* The name array starts this small and doubles as names actually arrive: a
 * count announced by the server is a promise, not a reason to allocate.
 * The fuzzing build starts smaller, for short inputs to reach the growth. */
#ifndef FIRST_LIST_SLOTS
#define FIRST_LIST_SLOTS 16
#endif

/* Ends a call without draining the socket: nothing was sent, or a nested
 * public call has already drained it. */
static int end_call(int code) {
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return _vek_store(code);
}

static int list_args_ok(const char *function, int *count, char ***names) {
  if (count) *count = 0;
  if (names) *names = NULL;
  if (count && names) return 1;
  _vek_error("%s(): count and names must be given", function);
  return 0;
}

static int name_ok(const char *function, const char *name) {
  if (name) return 1;
  _vek_error("%s(): name cannot be NULL.", function);
  return 0;
}

extern "C" {

/* ---------------- name lists ---------------- */

int _vek_read_name_list(int *count, char ***names) {
  *count = 0;
  *names = NULL;
  int n;
  if (!_vek_read_int(VEK_SOCK, &n)) return VEK_RESULT_COMMUNICATION;
  if (n < 0) {
    _vek_error("Reply from server: negative list count (%d)", n);
    return VEK_RESULT_COMMUNICATION;
  }
  size_t slots = (size_t)std::clamp(n, 1, FIRST_LIST_SLOTS);
  char **list = (char **)_vek_malloc(slots * sizeof(char *));
  if (!list) {
    _vek_error("Cannot allocate a list of %d names", n);
    return VEK_RESULT_MEMORY;
  }
  int code = VEK_RESULT_OK;
  int got = 0;
  while (got < n) {
    if ((size_t)got == slots) {
      size_t more = std::min(slots * 2, (size_t)n);
      char **grown = (char **)_vek_realloc(list, more * sizeof(char *));
      if (!grown) {
        _vek_error("Cannot allocate a list of %d names", n);
        code = VEK_RESULT_MEMORY;
        break;
      }
      list = grown;
      slots = more;
    }
    /* Each name is read into a block of its own, so that no slot past
     * those read needs clearing. */
    char *name = NULL;
    if (!_vek_read_string(VEK_SOCK, &name, 10000)) {
      code = _vek_read_failed_code();
      break;
    }
    list[got++] = name;
  }
  if (code) {
    VEKClientFreeStringArray(got, list);
    return code;
  }
  *count = n;
  *names = list;
  return VEK_RESULT_OK;
}

int _vek_list_exchange(const char *keyword, const char *answer, int nfilters, const int *filters, int *count,
                       char ***names) {
  *count = 0;
  *names = NULL;
  int code = _vek_request(keyword);
  for (int i = 0; !code && i < nfilters; i++)
    if (!_vek_write_int(VEK_SOCK, &filters[i])) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer(answer);
  if (!code) code = _vek_read_name_list(count, names);
  return code;
}

/* ---------------- listing ---------------- */

int VEKClientGetStudyList(int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetStudyList", "(%p,%p)", (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetStudyList", count, names)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(_vek_list_exchange("CSTUDYLST", "SSTUDIES", 0, NULL, count, names));
}

int VEKClientGetDirectoryList(int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetDirectoryList", "(%p,%p)", (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetDirectoryList", count, names)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(_vek_list_exchange("CDIRLST", "SDIRS", 0, NULL, count, names));
}

/* Files of the current Directory: "CFILETLST" with int type, int criterion,
 * or "CFILELST" alone when neither filters; answer "SFILES". */
static int st_get_file_list(int type, int criterion, int *count, char ***names) {
  if (type == -1 && criterion == -1) return _vek_list_exchange("CFILELST", "SFILES", 0, NULL, count, names);
  int filters[2] = {type, criterion};
  return _vek_list_exchange("CFILETLST", "SFILES", 2, filters, count, names);
}

int VEKClientGetFileList(int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetFileList", "(%p,%p)", (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetFileList", count, names)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(st_get_file_list(-1, -1, count, names));
}

int VEKClientGetFileListByType(int type, int criterion, int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetFileListByType", "(%d,%d,%p,%p)", type, criterion, (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetFileListByType", count, names)) return end_call(VEK_RESULT_USAGE);
  if ((type != -1 || criterion != -1) && !_vek_is_supported("CFILETLST", true)) return end_call(VEK_RESULT_ANSWER);
  return _vek_finish(st_get_file_list(type, criterion, count, names));
}

/* Variables of the current File: "CVARTLST" with int var_type, or "CVARLST"
 * alone for any type; answer "SVARS". Every failure of the exchange is
 * reported as code 1. */
static int st_get_var_list(int var_type, int *count, char ***names) {
  int code;
  if (var_type == -1) {
    code = _vek_list_exchange("CVARLST", "SVARS", 0, NULL, count, names);
  } else {
    code = _vek_list_exchange("CVARTLST", "SVARS", 1, &var_type, count, names);
  }
  return code ? VEK_RESULT_USAGE : VEK_RESULT_OK;
}

int VEKClientGetVariableList(int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetVariableList", "(%p,%p)", (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetVariableList", count, names)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(st_get_var_list(-1, count, names));
}

int VEKClientGetVariableListByType(int var_type, int *count, char ***names) {
  VEK_TRACE_ENTRY("VEKClientGetVariableListByType", "(%d,%p,%p)", var_type, (void *)count, (void *)names);
  if (!list_args_ok("VEKClientGetVariableListByType", count, names)) return end_call(VEK_RESULT_USAGE);
  if (var_type != VEK_VAR_TYPE_ANY) {
    if (!_vek_is_supported("CVARTLST", true)) return end_call(VEK_RESULT_ANSWER);
    if (var_type == VEK_VAR_TYPE_XG || var_type == VEK_VAR_TYPE_YG || var_type == VEK_VAR_TYPE_ZG) {
      _vek_error("Coordinates variable names are within File Info");
      return end_call(VEK_RESULT_USAGE);
    }
    if (var_type < VEK_VAR_TYPE_SELECTION || var_type > VEK_VAR_TYPE_MACRO) {
      _vek_error("var_type (%d) is not allowed as selection type", var_type);
      return end_call(VEK_RESULT_USAGE);
    }
  }
  return _vek_finish(st_get_var_list(var_type, count, names));
}

/* ---------------- existence ---------------- */

/* keyword with string(50) name, answer "SEXIST" with int exists. */
static int exists_request(const char *keyword, const char *name, int *exists) {
  int code = _vek_request(keyword);
  char *n = (char *)name;
  if (!code && !_vek_write_string(VEK_SOCK, &n, 50)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SEXIST");
  if (!code && !_vek_read_int(VEK_SOCK, exists)) code = VEK_RESULT_COMMUNICATION;
  return code;
}

/* Exact, case-sensitive search of a fetched list; releases the list. */
static void find_in_list(const char *name, int count, char **names, int *exists) {
  for (int i = 0; i < count && !*exists; i++)
    if (names[i] && strcmp(names[i], name) == 0) *exists = 1;
  VEKClientFreeStringArray(count, names);
}

static int exists_args_ok(const char *function, const char *name, int *exists) {
  if (exists) *exists = 0;
  if (!name_ok(function, name)) return 0;
  if (exists) return 1;
  _vek_error("%s(): exists cannot be NULL.", function);
  return 0;
}

int VEKClientDirectoryExists(const char *name, int *exists) {
  VEK_TRACE_ENTRY("VEKClientDirectoryExists", "(%s,%p)", VEK_STR(name), (void *)exists);
  if (!exists_args_ok("VEKClientDirectoryExists", name, exists)) return end_call(VEK_RESULT_USAGE);
  if (_vek_is_supported("CDIRXIST", false)) return _vek_finish(exists_request("CDIRXIST", name, exists));
  int count;
  char **names;
  if (VEKClientGetDirectoryList(&count, &names)) return end_call(VEK_RESULT_USAGE);
  find_in_list(name, count, names, exists);
  return _vek_finish(VEK_RESULT_OK);
}

int VEKClientFileExists(const char *name, int *exists) {
  VEK_TRACE_ENTRY("VEKClientFileExists", "(%s,%p)", VEK_STR(name), (void *)exists);
  if (!exists_args_ok("VEKClientFileExists", name, exists)) return end_call(VEK_RESULT_USAGE);
  if (_vek_is_supported("CFILEXIST", false)) return _vek_finish(exists_request("CFILEXIST", name, exists));
  int count;
  char **names;
  int code = st_get_file_list(-1, -1, &count, &names);
  if (!code) find_in_list(name, count, names, exists);
  return _vek_finish(code);
}

int VEKClientVariableExists(const char *name, int *exists) {
  VEK_TRACE_ENTRY("VEKClientVariableExists", "(%s,%p)", VEK_STR(name), (void *)exists);
  if (!exists_args_ok("VEKClientVariableExists", name, exists)) return end_call(VEK_RESULT_USAGE);
  if (_vek_is_supported("CVARXIST", false)) return _vek_finish(exists_request("CVARXIST", name, exists));
  int count;
  char **names;
  int code = st_get_var_list(-1, &count, &names);
  if (!code) find_in_list(name, count, names, exists);
  return _vek_finish(code);
}

/* ---------------- selection of the current items ---------------- */

/* keyword with string(10000) name, answer "SDONE" without fields. */
static int set_request(const char *keyword, const char *name) {
  int code = _vek_request(keyword);
  char *n = (char *)name;
  if (!code && !_vek_write_string(VEK_SOCK, &n, 10000)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  return code;
}

int VEKClientSetStudy(const char *name) {
  VEK_TRACE_ENTRY("VEKClientSetStudy", "(%s)", VEK_STR(name));
  if (!name_ok("VEKClientSetStudy", name)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(set_request("CSTUDYSET", name));
}

int VEKClientSetDirectory(const char *name) {
  VEK_TRACE_ENTRY("VEKClientSetDirectory", "(%s)", VEK_STR(name));
  if (!name_ok("VEKClientSetDirectory", name)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(set_request("CDIRSET", name));
}

int VEKClientSetFile(const char *name) {
  VEK_TRACE_ENTRY("VEKClientSetFile", "(%s)", VEK_STR(name));
  if (!name_ok("VEKClientSetFile", name)) return end_call(VEK_RESULT_USAGE);
  return _vek_finish(set_request("CFILESET", name));
}

/* Its end line carries no code. */
int VEKClientSetVariable(const char *name) {
  VEK_TRACE_ENTRY("VEKClientSetVariable", "(%s)", VEK_STR(name));
  int code = VEK_RESULT_USAGE;
  if (name_ok("VEKClientSetVariable", name)) {
    code = set_request("CVARSET", name);
    if (code) _vek_cleanup_socket();
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end(NULL);
  return _vek_store(code);
}

/* A null name travels as the empty string: it clears the selection. */
int VEKClientSetSelection(const char *name) {
  VEK_TRACE_ENTRY("VEKClientSetSelection", "(%s)", VEK_STR(name));
  return _vek_finish(set_request("CSELSET", name ? name : ""));
}

/* "CINDSET" with int index, answer "SDONE". */
int VEKClientSetIndice(int index) {
  VEK_TRACE_ENTRY("VEKClientSetIndice", "(%d)", index);
  int code = _vek_request("CINDSET");
  if (!code && !_vek_write_int(VEK_SOCK, &index)) code = VEK_RESULT_COMMUNICATION;
  if (!code) code = _vek_answer("SDONE");
  return _vek_finish(code);
}

/* "CINDASET" with string(10000) alpha, answer "SDONE"; an older server is
 * given the numeric index whose alphanumeric name is alpha (the last one
 * when several match, -1 when none does). */
int VEKClientSetAlphaIndice(const char *alpha) {
  VEK_TRACE_ENTRY("VEKClientSetAlphaIndice", "(%s)", VEK_STR(alpha));
  if (!name_ok("VEKClientSetAlphaIndice", alpha)) return end_call(VEK_RESULT_USAGE);
  if (_vek_is_supported("CINDASET", false)) return _vek_finish(set_request("CINDASET", alpha));
  int count;
  int *indices;
  char **names;
  if (VEKClientGetMacroIndicesWithAlpha(&count, &indices, &names)) return end_call(VEK_RESULT_USAGE);
  if (!names) {
    VEKClientFreePointer(indices);
    _vek_error("No alpha index available for this variable");
    return end_call(VEK_RESULT_USAGE);
  }
  int found = -1;
  for (int i = 0; i < count; i++)
    if (names[i] && strcmp(names[i], alpha) == 0) found = indices[i];
  VEKClientFreePointer(indices);
  VEKClientFreeStringArray(count, names);
  int code = VEKClientSetIndice(found) ? VEKClientGetLastError() : VEK_RESULT_OK;
  return end_call(code);
}

/* ---------------- release ---------------- */

char **VEKClientFreeStringArray(int count, char **array) {
  VEK_TRACE_ENTRY("VEKClientFreeStringArray", "(%d,%p)", count, (void *)array);
  if (array) {
    for (int i = 0; i < count; i++) _vek_free(array[i]);
    _vek_free(array);
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end("(nil)");
  return NULL;
}

void *VEKClientFreePointer(void *p) {
  VEK_TRACE_ENTRY("VEKClientFreePointer", "(%p)", p);
  _vek_free(p);
  if (_vek_trace_level >= 1) _vek_trace_func_end("(nil)");
  return NULL;
}

} /* extern "C" */
