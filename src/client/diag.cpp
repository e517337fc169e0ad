/*
 * Diagnostics: the error function, debug messages and the trace file.
 *
 * Where an error or debug line finally goes is the host's: st_def_error and
 * st_def_debug come from diag_stdio.cpp in a plain program and from the R
 * support layer inside R, so that this file never names a standard stream.
 */
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vek_internal.h"

extern "C" {

void (*VEK_ERROR_FUNCTION)(const char *text) = st_def_error;
int _vek_is_server;
int _vek_client_dbg_mode;
int _vek_trace_level;
FILE *_vek_trace_file = NULL;
int _vek_client_last_error;
int _vek_failure = VEK_FAIL_NONE;
void (*_vek_failure_function)(int code, int kind) = NULL;
}

static int function_level;
static int last_trace_with_cr = 1;
static int trace_initialized;
static char date_time[30];

#define MAX_FUNCTION_LEVEL 5

/* vsnprintf already cuts at the buffer's end; a message that was cut says so
 * with a trailing "..." rather than stopping mid-word without a hint. */
static void format_into(char *buf, size_t size, const char *fmt, va_list ap) {
  int n = vsnprintf(buf, size, fmt, ap);
  if (n < 0) {
    buf[0] = '\0';
  } else if ((size_t)n >= size && size > 4) {
    memcpy(buf + size - 4, "...", 4);
  }
}

extern "C" {

const char *st_get_time(void) {
  time_t now = time(NULL);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(date_time, sizeof date_time, "%T", &tmv) == 0) date_time[0] = '\0';
  return date_time;
}

const char *st_get_date(void) {
  time_t now = time(NULL);
  struct tm tmv;
  localtime_r(&now, &tmv);
  if (strftime(date_time, sizeof date_time, "%h %d %Y", &tmv) == 0) date_time[0] = '\0';
  return date_time;
}

int st_get_pid(void) { return (int)getpid(); }

void _vek_fail(int kind) {
  /* The first failure of a function is its cause; what follows (a farewell
   * to a server already gone) only comes of it. */
  if (_vek_failure == VEK_FAIL_NONE) _vek_failure = kind;
}

const char *_vek_program_tag(void) { return _vek_is_server ? "VEKserver" : "VEKClient"; }

/* A request abandoned because the host was interrupted fails without a word
 * of its own (the trace keeps it): the host reports the interrupt itself,
 * and the errors of a wait cut short would only blur that. */
static void report(const char *text) {
  if (_vek_trace_level >= 1) _vek_trace("Error: %s", text);
  if (_vek_interrupted) return;
  if (VEK_ERROR_FUNCTION) VEK_ERROR_FUNCTION(text);
}

void _vek_error(const char *fmt, ...) {
  char msg[VEK_MSG_SIZE];
  va_list ap;
  va_start(ap, fmt);
  format_into(msg, sizeof msg, fmt, ap);
  va_end(ap);
  report(msg);
}

/* The system's text is taken before formatting: vsnprintf may change errno. */
static void raise_with_text(const char *sys, const char *fmt, va_list ap) {
  char msg[VEK_MSG_SIZE];
  format_into(msg, sizeof msg, fmt, ap);
  char full[VEK_MSG_SIZE];
  snprintf(full, sizeof full, "%s%s%s", msg, sys && *sys ? ": " : "", sys ? sys : "");
  report(full);
}

void _vek_perror(const char *fmt, ...) {
  int err = errno;
  const char *sys = err ? strerror(err) : "";
  char copy[256];
  snprintf(copy, sizeof copy, "%s", sys);
  va_list ap;
  va_start(ap, fmt);
  raise_with_text(copy, fmt, ap);
  va_end(ap);
}

void _vek_herror(const char *fmt, ...) {
  char copy[256];
  snprintf(copy, sizeof copy, "%s", h_errno ? hstrerror(h_errno) : "");
  va_list ap;
  va_start(ap, fmt);
  raise_with_text(copy, fmt, ap);
  va_end(ap);
}

void _vek_debug(const char *fmt, ...) {
  if (!_vek_client_dbg_mode && _vek_trace_level == 0) return;
  char msg[VEK_MSG_SIZE];
  va_list ap;
  va_start(ap, fmt);
  format_into(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (_vek_trace_level >= 1) _vek_trace("Debug: %s", msg);
  if (_vek_client_dbg_mode) st_def_debug(msg);
}

void VEKClientDebug(int mode) {
  VEK_TRACE_ENTRY("VEKClientDebug", "(%d)", mode);
  if (mode) {
    _vek_client_dbg_mode = mode;
    _vek_debug("Setting debug mode to %s.", "on");
  } else {
    _vek_debug("Setting debug mode to %s.", "off");
    _vek_client_dbg_mode = 0;
  }
  if (_vek_trace_level >= 1) _vek_trace_func_end(NULL);
}

int VEKClientGetLastError(void) { return _vek_client_last_error; }

void _vek_trace_init(void) {
  if (trace_initialized) return;
  trace_initialized = 1;
  const char *level_text = getenv("VEK_SERVER_TRACE");
  if (!level_text) return;
  long level = strtol(level_text, NULL, 10);
  if (level <= 0) return;
  if (level > 1000) level = 1000;

  char name[VEK_MSG_SIZE];
  const char *env_name = getenv(_vek_is_server ? "VEK_SERVER_TRACE_FILE" : "VEK_CLIENT_TRACE_FILE");
  if (env_name) {
    snprintf(name, 200, "%s", env_name);
  } else {
    char base[256];
    snprintf(base, sizeof base, "%s_trace_%d.txt", _vek_program_tag(), st_get_pid());
    snprintf(name, sizeof name, "/tmp/%s", base);
  }
  /* Once per process, or after _vek_trace_reset_for_tests() closed it. */
  _vek_trace_file = fopen(name, "a");
  _vek_trace_level = _vek_trace_file ? (int)level : 0;
  _vek_trace("Tracing %s. Level %d. Date %s", _vek_program_tag(), (int)level, st_get_date());
}

void _vek_trace_reset_for_tests(void) {
  _vek_trace_end();
  trace_initialized = 0;
  function_level = 0;
  last_trace_with_cr = 1;
}

static void indent_guard(void) {
  if (function_level > MAX_FUNCTION_LEVEL) {
    fprintf(_vek_trace_file, "%s: Error in debug print (wrong indent) !!!!!!\n", st_get_time());
    function_level = MAX_FUNCTION_LEVEL;
  }
}

static const char *indentation(void) {
  static const char spaces[] = "          ";
  int level = function_level < 0 ? 0 : function_level;
  return spaces + (MAX_FUNCTION_LEVEL - level) * 2;
}

void _vek_trace(const char *fmt, ...) {
  if (!_vek_trace_file) return;
  char text[VEK_MSG_SIZE];
  va_list ap;
  va_start(ap, fmt);
  format_into(text, sizeof text, fmt, ap);
  va_end(ap);
  if (last_trace_with_cr) {
    indent_guard();
    fprintf(_vek_trace_file, "%s: %s%s\n", st_get_time(), indentation(), text);
  } else {
    fprintf(_vek_trace_file, "%s\n", text);
  }
  fflush(_vek_trace_file);
  last_trace_with_cr = 1;
}

void _vek_trace_func_start(const char *name, int with_args) {
  if (!_vek_trace_file) return;
  if (!last_trace_with_cr) fputc('\n', _vek_trace_file); /* an entry line left open */
  /* The guard line goes first so that the entry line can still be joined
   * with its argument line. */
  int deeper = 1;
  if (function_level >= MAX_FUNCTION_LEVEL) {
    fprintf(_vek_trace_file, "%s: Error in debug print (wrong indent) !!!!!!\n", st_get_time());
    function_level = MAX_FUNCTION_LEVEL;
    deeper = 0;
  }
  fprintf(_vek_trace_file, "%s: %sFunction %s%s", st_get_time(), indentation(), name, with_args ? "" : "\n");
  fflush(_vek_trace_file);
  last_trace_with_cr = with_args ? 0 : 1;
  function_level += deeper;
}

void _vek_trace_func_end(const char *fmt, ...) {
  if (!_vek_trace_file) return;
  if (!last_trace_with_cr) fputc('\n', _vek_trace_file);
  function_level--;
  if (function_level < 0) {
    fprintf(_vek_trace_file, "%s: Error in debug print (wrong indent) !!!!!!\n", st_get_time());
    function_level = 0;
  }
  indent_guard();
  char value[VEK_MSG_SIZE] = "";
  if (fmt) {
    va_list ap;
    va_start(ap, fmt);
    format_into(value, sizeof value, fmt, ap);
    va_end(ap);
  }
  fprintf(_vek_trace_file, "%s: %sFunction returned%s%s\n", st_get_time(), indentation(), fmt ? " " : "", value);
  fflush(_vek_trace_file);
  last_trace_with_cr = 1;
}

void _vek_trace_end(void) {
  if (_vek_trace_file) fclose(_vek_trace_file);
  _vek_trace_file = NULL;
  _vek_trace_level = 0;
}

} /* extern "C" */
