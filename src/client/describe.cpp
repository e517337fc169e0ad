/*
 * Descriptions of the current File and Variable, the indices of a macro
 * variable, and the sample counts of the lines of a line file. What an
 * answer carries depends on the server's version and on the protocol
 * version the application declared.
 */
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "vek_internal.h"

/* Int arrays start this small and grow as values actually arrive: a count
 * announced by the server is a promise, not a reason to allocate. The
 * fuzzing build starts smaller, for short inputs to reach the growth. */
#ifndef FIRST_ARRAY_INTS
#define FIRST_ARRAY_INTS 65536
#endif

/* Reads n ints into a new array (at least one slot, so that success always
 * hands out a pointer). Returns 0, 2 (a value failed to read) or 4. */
static int read_int_array(int n, int **out) {
  *out = NULL;
  size_t slots = (size_t)std::clamp(n, 1, FIRST_ARRAY_INTS);
  int *a = (int *)_vek_malloc(slots * sizeof(int));
  if (!a) return VEK_RESULT_MEMORY;
  size_t got = 0;
  while (got < (size_t)n) {
    if (got == slots) {
      size_t more = std::min(slots * 2, (size_t)n);
      int *grown = (int *)_vek_realloc(a, more * sizeof(int));
      if (!grown) {
        _vek_free(a);
        return VEK_RESULT_MEMORY;
      }
      a = grown;
      slots = more;
    }
    if (!_vek_rw_vector(VEK_SOCK, a + got, slots - got, sizeof(int), _vek_read_int_elem)) {
      _vek_free(a);
      return VEK_RESULT_COMMUNICATION;
    }
    got = slots;
  }
  *out = a;
  return VEK_RESULT_OK;
}

/* The count of an answer's array. Returns 0 or 2; a negative count is an
 * unreadable one. */
static int read_count(int *n) {
  if (!_vek_read_int(VEK_SOCK, n)) return VEK_RESULT_COMMUNICATION;
  if (*n >= 0) return VEK_RESULT_OK;
  _vek_error("Reply from server: negative count (%d)", *n);
  return VEK_RESULT_COMMUNICATION;
}

/* A string(50) into a char[50] field of a record. */
static int read_name50(char *field) { return _vek_read_string(VEK_SOCK, &field, 50); }

static int read_ints(int *const *fields, int n) {
  for (int i = 0; i < n; i++)
    if (!_vek_read_int(VEK_SOCK, fields[i])) return 0;
  return 1;
}

static int read_doubles(double *const *fields, int n) {
  for (int i = 0; i < n; i++)
    if (!_vek_read_double(VEK_SOCK, fields[i])) return 0;
  return 1;
}

static int read_names50(char *const *fields, int n) {
  for (int i = 0; i < n; i++)
    if (!read_name50(fields[i])) return 0;
  return 1;
}

/* The fields of "SFILEINFO", in wire order. Returns 1 when all were read. */
static int read_file_info(VEKFileInfo *info) {
  int type;
  if (!_vek_read_int(VEK_SOCK, &type)) return 0;
  if (!read_name50(info->linked_file)) return 0;
  if (!_vek_read_bool(VEK_SOCK, &info->faulted) || !_vek_read_bool(VEK_SOCK, &info->polygon_file)) return 0;
  if (!_vek_read_int(VEK_SOCK, &info->dimension)) return 0;
  if (!_vek_read_long(VEK_SOCK, &info->s_number)) return 0;
  if (!_vek_read_int(VEK_SOCK, &info->item_number)) return 0;
  double *const geometry[] = {&info->X0, &info->Y0, &info->Z0, &info->DX, &info->DY, &info->DZ};
  if (!read_doubles(geometry, 6)) return 0;
  int *const nodes[] = {&info->NX, &info->NY, &info->NZ};
  if (!read_ints(nodes, 3)) return 0;
  if (!_vek_read_bool(VEK_SOCK, &info->rotation)) return 0;
  double *const angles[] = {&info->angle_z, &info->angle_y, &info->angle_x};
  if (!read_doubles(angles, 3)) return 0;
  char *const names[] = {info->sn_var_name, info->ln_var_name, info->rn_var_name,
                         info->xg_var_name, info->yg_var_name, info->zg_var_name};
  if (!read_names50(names, 6)) return 0;
  char *const core[] = {info->xb_var_name, info->yb_var_name, info->zb_var_name,
                        info->xe_var_name, info->ye_var_name, info->ze_var_name};
  for (int i = 0; i < 6; i++) core[i][0] = '\0';
  if (_vek_client_server_version >= 900000) {
    if (type == VEK_FILE_TYPE_CORE_LINES && !read_names50(core, 6)) return 0;
  } else if (type > VEK_FILE_TYPE_GRID) {
    type = VEK_FILE_TYPE_INVALID;
  }
  /* A type the client does not know is no File it can work with. */
  info->type = (type < VEK_FILE_TYPE_ANY || type > VEK_FILE_TYPE_INVALID) ? VEK_FILE_TYPE_INVALID : (VEK_FILE_TYPE)type;
  info->lname_var_name[0] = '\0';
  if (_vek_client_server_version >= 1300030 && !read_name50(info->lname_var_name)) return 0;
  VEKFaultInfo *f = &info->fault_info;
  if (!_vek_read_int(VEK_SOCK, &f->faults_2d) || !_vek_read_bool(VEK_SOCK, &f->aux_var_used)) return 0;
  int *const faults[] = {&f->faults_number, &f->segments_number, &f->min_fpriority, &f->max_fpriority,
                         &f->auth_priority};
  return read_ints(faults, 5);
}

extern "C" {

/* "CFILEINFO" without arguments, answer "SFILEINFO" with the description. */
int VEKClientGetFileInfo(VEKFileInfo *info) {
  VEK_TRACE_ENTRY("VEKClientGetFileInfo", "(%p)", (void *)info);
  if (!info) {
    _vek_error("VEKClientGetFileInfo(): info cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  int code = _vek_request("CFILEINFO");
  if (!code) code = _vek_answer("SFILEINFO");
  if (!code && !read_file_info(info)) code = VEK_RESULT_COMMUNICATION;
  if (code) info->type = VEK_FILE_TYPE_INVALID;
  return _vek_finish(code);
}

/* The fields of "SVARINFO", in wire order. Returns 1 when all were read. */
static int read_variable_info(VEKVariableInfo *info) {
  int type;
  if (!_vek_read_int(VEK_SOCK, &type)) return 0;
  info->type =
      (type < VEK_VAR_TYPE_SELECTION || type > VEK_VAR_TYPE_INVALID) ? VEK_VAR_TYPE_INVALID : (VEK_VAR_TYPE)type;
  int *const sizes[] = {&info->bit_length, &info->alpha_length, &info->implicit, &info->i_number};
  if (!read_ints(sizes, 4)) return 0;
  char text[11];
  char *p = text;
  if (!_vek_read_string(VEK_SOCK, &p, sizeof text)) return 0;
  /* Applications of the old protocol hold shorter unit texts. */
  snprintf(info->unit, _vek_client_linked_version >= 410 ? 11 : 6, "%s", text);
  if (!_vek_is_supported("CCOMGET", false)) {
    char comment[500];
    p = comment;
    if (!_vek_read_string(VEK_SOCK, &p, sizeof comment)) return 0;
  }
  char symbol[11];
  if (_vek_is_extended_server()) {
    p = symbol;
    if (!_vek_read_string(VEK_SOCK, &p, sizeof symbol)) return 0;
    if (!_vek_read_int(VEK_SOCK, &info->length_var)) return 0;
  } else {
    snprintf(symbol, sizeof symbol, "%s", info->unit);
    info->length_var = VEKClientUnitFactorFromSymbol(info->unit) != 0.0;
  }
  if (_vek_client_linked_version >= 410) snprintf(info->unit_symbol, sizeof info->unit_symbol, "%s", symbol);
  return 1;
}

/* "CVARINFO" without arguments, answer "SVARINFO" with the description. */
int VEKClientGetVariableInfo(VEKVariableInfo *info) {
  VEK_TRACE_ENTRY("VEKClientGetVariableInfo", "(%p)", (void *)info);
  if (!info) {
    _vek_error("VEKClientGetVariableInfo(): info cannot be NULL.");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  int code = _vek_request("CVARINFO");
  if (!code) code = _vek_answer("SVARINFO");
  if (!code && !read_variable_info(info)) code = VEK_RESULT_COMMUNICATION;
  if (code) info->type = VEK_VAR_TYPE_INVALID;
  return _vek_finish(code);
}

/* "CMACROIND" without arguments, answer "SMACROIND" with int n and n ints. */
int VEKClientGetMacroIndices(int *count, int **indices) {
  VEK_TRACE_ENTRY("VEKClientGetMacroIndices", "(%p,%p)", (void *)count, (void *)indices);
  if (count) *count = 0;
  if (indices) *indices = NULL;
  if (!count || !indices) {
    _vek_error("VEKClientGetMacroIndices(): count and indices must be given");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  int n = 0;
  int code = _vek_request("CMACROIND");
  if (!code) code = _vek_answer("SMACROIND");
  if (!code) code = read_count(&n);
  if (!code) code = read_int_array(n, indices);
  if (!code) *count = n;
  return _vek_finish(code);
}

/* "CMACROALP" without arguments, answer "SMACROALP" with int n, n ints,
 * int flag and, when the flag is set, n string(10000) names. A server
 * without the request gives the indices alone. */
int VEKClientGetMacroIndicesWithAlpha(int *count, int **indices, char ***alpha) {
  VEK_TRACE_ENTRY("VEKClientGetMacroIndicesWithAlpha", "(%p,%p,%p)", (void *)count, (void *)indices, (void *)alpha);
  if (count) *count = 0;
  if (indices) *indices = NULL;
  if (alpha) *alpha = NULL;
  if (!count || !indices || !alpha) {
    _vek_error("VEKClientGetMacroIndicesWithAlpha(): count, indices and alpha must be given");
    return _vek_finish(VEK_RESULT_USAGE);
  }
  if (!_vek_is_supported("CMACROALP", false)) {
    /* The nested call has drained the socket after a failure. */
    int code = VEKClientGetMacroIndices(count, indices) ? VEK_RESULT_USAGE : VEK_RESULT_OK;
    if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
    return _vek_store(code);
  }
  int n = 0, flag = 0;
  int code = _vek_request("CMACROALP");
  if (!code) code = _vek_answer("SMACROALP");
  if (!code) code = read_count(&n);
  if (!code) code = read_int_array(n, indices);
  if (!code && !_vek_read_int(VEK_SOCK, &flag)) code = VEK_RESULT_COMMUNICATION;
  if (!code && flag) {
    /* n ints have arrived, so n slots are no longer a bare promise. */
    *alpha = (char **)_vek_calloc(n > 0 ? (size_t)n : 1, sizeof(char *));
    if (!*alpha) code = VEK_RESULT_MEMORY;
    for (int i = 0; !code && i < n; i++)
      if (!_vek_read_string(VEK_SOCK, &(*alpha)[i], 10000)) code = _vek_read_failed_code();
  }
  if (code) {
    *indices = (int *)VEKClientFreePointer(*indices);
    *alpha = VEKClientFreeStringArray(n, *alpha);
  } else {
    *count = n;
  }
  return _vek_finish(code);
}

/* "CLFILECNT" without arguments, answer "SLFILECNT" with int n and n ints.
 * Leaves the result code and the socket to its callers. */
int _vek_get_line_samples(int *line_count, int **samples_per_line) {
  VEK_TRACE_ENTRY("_vek_get_line_samples", "(%p,%p)", (void *)line_count, (void *)samples_per_line);
  *line_count = 0;
  *samples_per_line = NULL;
  int code = VEK_RESULT_OK;
  if (_vek_is_supported("CLFILECNT", false)) {
    int n = 0;
    code = _vek_request("CLFILECNT");
    if (!code) code = _vek_answer("SLFILECNT");
    if (!code && read_count(&n)) code = VEK_RESULT_ANSWER;
    if (!code && read_int_array(n, samples_per_line)) code = VEK_RESULT_MEMORY;
    if (!code) *line_count = n;
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end("%d", code);
  return code != 0;
}

} /* extern "C" */
