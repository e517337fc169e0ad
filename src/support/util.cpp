/*
 * Console routing, messages, readers, undefined values and memory of the R
 * support layer. Everything runs on R's thread; the fixed buffers below are
 * shared by one message or one question at a time.
 */
#include "util.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "vek_internal.h"

/* Exported by R for front ends but declared in no public header. */
extern "C" {
int R_ReadConsole(const char *prompt, unsigned char *buf, int len, int addtohistory);
void R_WriteConsole(const char *buf, int len);
}

static util_write_func WRITE_FUNC = NULL;
static util_write_func WARN_FUNC = NULL;
static util_read_func READ_FUNC = NULL;
static util_exit_func EXIT_FUNC = NULL;
static int IO_DEFINED;

static char STRING[UTIL_STRING_SIZE];
static char LINE[UTIL_LINE_SIZE];
static char BUFFER[UTIL_BUFFER_SIZE];

/* The question being asked, for the end-of-input error (the prompt carries
 * defaults and bounds that would only blur that message). */
static char ASKED[200];

/* Room kept for what follows the question in a prompt, so that a long
 * question is cut rather than the part that tells the user what to type. */
#define QUESTION_MAX 700
#define DEFAULT_TEXT_MAX 200

/* ------------------------------------------------------------------ */
/* Small helpers                                                       */
/* ------------------------------------------------------------------ */

void util_copy(char *dest, size_t size, const char *src) {
  if (dest == NULL || size == 0) return;
  if (src == NULL) src = "";
  size_t n = strlen(src);
  if (n >= size) n = size - 1;
  memcpy(dest, src, n);
  dest[n] = '\0';
}

/* Formats into `buf`. A text that does not fit is cut and ends with "...",
 * followed by a line end when the cut removed one (it always does for a
 * text of that size: every message line ends with one). */
static void format_into(char *buf, size_t size, const char *format, va_list ap) {
  int n = vsnprintf(buf, size, format ? format : "", ap);
  if (n < 0) {
    buf[0] = '\0';
  } else if ((size_t)n >= size && size > 5) {
    memcpy(buf + size - 5, "...\n", 5);
  }
}

/* Appends to LINE without ever passing its end. */
static void line_add(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void line_add(const char *format, ...) {
  size_t used = strlen(LINE);
  if (used + 1 >= sizeof LINE) return;
  va_list ap;
  va_start(ap, format);
  vsnprintf(LINE + used, sizeof LINE - used, format, ap);
  va_end(ap);
}

static void line_start(const char *question) {
  LINE[0] = '\0';
  if (question == NULL) question = "";
  line_add("%.*s ", QUESTION_MAX, question);
  util_copy(ASKED, sizeof ASKED, question);
}

void util_throw_abort(const char *format, ...) {
  util_abort e;
  va_list ap;
  va_start(ap, format);
  format_into(e.text, sizeof e.text, format, ap);
  va_end(ap);
  if (util_call_depth() > 0) throw e;
  /* Outside a protected call there is no C++ frame of ours to unwind. */
  Rf_error("%s", e.text);
}

/* ------------------------------------------------------------------ */
/* Routing slots and the R console adapters                            */
/* ------------------------------------------------------------------ */

void io_define(void) {
  if (IO_DEFINED) return;
  IO_DEFINED = 1;
  WRITE_FUNC = R_Write;
  WARN_FUNC = R_Warning;
  READ_FUNC = R_Read;
  EXIT_FUNC = R_Exit;
}

util_write_func util_route_write(util_write_func write) {
  io_define();
  util_write_func previous = WRITE_FUNC;
  WRITE_FUNC = write;
  return previous;
}

void R_Write(const char *string, ...) {
  if (string == NULL) return;
  int len = (int)strlen(string);
  if (len <= 0) return;
  R_WriteConsole(string, len);
  R_FlushConsole();
}

void R_Warning(const char *string, ...) {
  if (string == NULL) return;
  int len = (int)strlen(string);
  if (len <= 0) return;
  R_WriteConsole(string, len);
}

namespace {
struct console_read {
  const char *prompt;
  unsigned char *buf;
  int len;
  int result;
};
}  // namespace

static SEXP console_read_cb(void *data) {
  console_read *r = static_cast<console_read *>(data);
  r->result = R_ReadConsole(r->prompt, r->buf, r->len, 0);
  return R_NilValue;
}

/* An interrupt while R waits at the console is an R longjmp; inside a
 * protected call it is turned into a C++ exception so that our frames
 * unwind before R resumes the jump. `buf` holds len + 1 bytes: R's reader of
 * a script may add a line end one byte past `len`. */
static int read_console(const char *prompt, char *buf, int len) {
  console_read r = {prompt, reinterpret_cast<unsigned char *>(buf), len, 0};
  buf[0] = '\0';
  if (util_call_depth() > 0) Rcpp::unwindProtect(console_read_cb, &r);
  else console_read_cb(&r);
  buf[len] = '\0';
  return r.result;
}

/* R's own prompt reads lines into this many bytes, and front ends hand over
 * what fits it: an answer is judged on all that was typed, without waiting
 * for more. */
#define CONSOLE_LINE_SIZE 4096

static SEXP interactive_cb(void *) { return Rf_eval(Rf_lang1(Rf_install("interactive")), R_BaseEnv); }

/* R's interactive(): a person, through a front end, types the answers. */
static int console_is_interactive(void) {
  SEXP v = util_call_depth() > 0 ? Rcpp::unwindProtect(interactive_cb, NULL) : interactive_cb(NULL);
  return Rf_asLogical(v) == TRUE;
}

void R_Read(const char *prompt, char *answer) {
  static char line[CONSOLE_LINE_SIZE + 1];
  if (prompt == NULL) prompt = "";
  answer[0] = '\0';
  for (;;) {
    if (!read_console(prompt, line, CONSOLE_LINE_SIZE)) {
      /* No line at all: asking again would wait for ever. */
      util_throw_abort("End of console input: no answer to '%s'", ASKED[0] ? ASKED : prompt);
    }
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
      line[--len] = '\0';
      if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    } else if (len + 1 >= CONSOLE_LINE_SIZE && !console_is_interactive()) {
      /* R reading a script or a pipe leaves the rest of a line that did not
       * fit in the stream, where it would answer the next question. A line
       * editor drops it itself: waiting for it there would eat the user's
       * next line. */
      char rest[256];
      for (;;) {
        if (!read_console("", rest, (int)sizeof rest - 1)) break;
        size_t n = strlen(rest);
        if (n == 0 || rest[n - 1] == '\n') break;
      }
    }
    /* A cut answer could name, create or delete an item nobody typed. */
    if (len <= UTIL_ANSWER_MAX) {
      memcpy(answer, line, len + 1);
      return;
    }
    messerr("The answer is too long (at most %d characters): type a shorter one", UTIL_ANSWER_MAX);
  }
}

void R_Exit(void) { util_throw_abort("%s", UTIL_ABORT_MESSAGE); }

/* ------------------------------------------------------------------ */
/* Undefined values                                                    */
/* ------------------------------------------------------------------ */

int FFFF(double value) { return value > UTIL_UNDEF_LIMIT ? 1 : 0; }

int IFFFF(int value) { return value == UTIL_UNDEF_INT ? 1 : 0; }

/* ------------------------------------------------------------------ */
/* Messages                                                            */
/* ------------------------------------------------------------------ */

/* 1 while messerr or mes_abort writes: a slot that keeps what it is given
 * can tell an error line from an ordinary message. */
static int WRITING_ERROR;

int util_writing_error(void) { return WRITING_ERROR; }

static const char *const KIND_NAMES[UTIL_KIND_COUNT] = {
    "",        "usage",  "not_connected", "not_found", "already_exists", "mismatch", "server", "communication",
    "timeout", "closed", "refused",       "host",      "launch",         "memory"};

const char *util_kind_name(int kind) { return kind > 0 && kind < UTIL_KIND_COUNT ? KIND_NAMES[kind] : ""; }

static int REFUSAL_KIND = UTIL_KIND_NONE;
static int REFUSAL_LEVEL;
static int REFUSAL_GIVEN = 1;
static char REFUSAL_ITEM[UTIL_STRING_SIZE];

void util_refuse(int kind, int level, const char *item, int given) {
  REFUSAL_KIND = kind;
  REFUSAL_LEVEL = level;
  REFUSAL_GIVEN = given;
  util_copy(REFUSAL_ITEM, sizeof REFUSAL_ITEM, item);
}

util_refusal util_current_refusal(void) {
  util_refusal r = {REFUSAL_KIND, REFUSAL_LEVEL, REFUSAL_GIVEN, REFUSAL_ITEM};
  return r;
}

/* A record belongs to one line: the next line, written without one, must
 * not inherit it. */
static void refusal_done(void) {
  REFUSAL_KIND = UTIL_KIND_NONE;
  REFUSAL_LEVEL = 0;
  REFUSAL_GIVEN = 1;
  REFUSAL_ITEM[0] = '\0';
}

static void write_text(const char *text) {
  if (WRITE_FUNC != NULL) WRITE_FUNC(text);
}

/* Formats into STRING and writes it, followed by a line end if asked. */
static void write_formatted(int newline, const char *format, va_list ap) {
  format_into(STRING, sizeof STRING, format, ap);
  write_text(STRING);
  if (newline) write_text("\n");
}

void message(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  write_formatted(0, format, ap);
  va_end(ap);
}

/* An error line, with the refusal record set for it if any; a fatal one
 * then leaves the call. */
static void write_error(int fatal, const char *format, va_list ap) {
  WRITING_ERROR = 1;
  write_formatted(1, format, ap);
  WRITING_ERROR = 0;
  refusal_done();
  if (!fatal) return;
  if (EXIT_FUNC != NULL) EXIT_FUNC();
  else R_Exit();
}

void messerr(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  write_error(0, format, ap);
  va_end(ap);
}

void mes_abort(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  write_error(1, format, ap);
  va_end(ap);
}

void util_refuse_line(int fatal, int kind, int level, const char *item, int given, const char *format, va_list ap) {
  util_refuse(kind, level, item, given);
  write_error(fatal, format, ap);
}

void mestitle(int level, const char *format, ...) {
  static char underline[UTIL_STRING_SIZE + 1];
  va_list ap;
  va_start(ap, format);
  format_into(STRING, sizeof STRING, format, ap);
  va_end(ap);
  write_text("\n");
  write_text(STRING);
  write_text("\n");

  char c = 0;
  if (level == 0) c = '=';
  else if (level == 1) c = '-';
  else if (level == 2) c = '.';
  size_t n = c ? strlen(STRING) : 0;
  memset(underline, c, n);
  underline[n] = '\n';
  underline[n + 1] = '\0';
  write_text(underline);
}

/* ------------------------------------------------------------------ */
/* Console readers                                                     */
/* ------------------------------------------------------------------ */

static void ask(void) {
  if (READ_FUNC == NULL) io_define();
  BUFFER[0] = '\0';
  READ_FUNC(LINE, BUFFER);
  BUFFER[sizeof BUFFER - 1] = '\0';
}

int lire_logical(const char *question, int flag_def, int valdef) {
  int has_def = flag_def && !IFFFF(valdef);
  for (;;) {
    line_start(question);
    if (has_def) line_add("%s", valdef ? "(Def=y)" : "(Def=n)");
    line_add(" [y,n] : ");
    ask();
    if (BUFFER[0] == '\0') {
      if (has_def) return valdef;
      messerr("No default value provided");
      continue;
    }
    if (strcasecmp(BUFFER, "y") == 0) return 1;
    if (strcasecmp(BUFFER, "n") == 0) return 0;
    message("The only authorized answers are 'y' or 'n'\n");
  }
}

/* Leading base-10 integer of the answer, held inside the int range. */
static int answer_to_int(const char *text) {
  long v = strtol(text, NULL, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

int lire_int(const char *question, int flag_def, int valdef, int valmin, int valmax) {
  for (;;) {
    line_start(question);
    if (!IFFFF(valmin) && !IFFFF(valmax) && valmin > valmax) {
      valmin = UTIL_UNDEF_INT;
      valmax = UTIL_UNDEF_INT;
    }
    if (!IFFFF(valmin) && !IFFFF(valdef) && valdef < valmin) valdef = valmin;
    if (!IFFFF(valmax) && !IFFFF(valdef) && valdef > valmax) valdef = valmax;
    int has_def = flag_def && !IFFFF(valdef);
    if (has_def) line_add("(Def=%d) ", valdef);
    if (IFFFF(valmin)) line_add("[NA,");
    else line_add("[%d,", valmin);
    if (IFFFF(valmax)) line_add("NA] ");
    else line_add("%d] ", valmax);
    line_add(": ");
    ask();

    int answer;
    if (BUFFER[0] != '\0') {
      if (strcmp(BUFFER, "NA") == 0) return UTIL_UNDEF_INT;
      answer = answer_to_int(BUFFER);
    } else if (has_def) {
      answer = valdef;
    } else {
      messerr("No default value provided");
      continue;
    }
    if (!IFFFF(valmin) && answer < valmin) {
      messerr("Answer (%d) must be larger than Minimum (%d)", answer, valmin);
      continue;
    }
    if (!IFFFF(valmax) && answer > valmax) {
      messerr("Answer (%d) must be smaller than Maximum (%d)", answer, valmax);
      continue;
    }
    return answer;
  }
}

void lire_string(const char *question, int flag_def, const char *valdef, char *answer) {
  if (valdef == NULL) valdef = "";
  line_start(question);
  if (flag_def) line_add("(Def=%.*s) ", DEFAULT_TEXT_MAX, valdef);
  for (;;) {
    line_add(": ");
    ask();
    if (BUFFER[0] != '\0') {
      util_copy(answer, UTIL_BUFFER_SIZE, BUFFER);
      return;
    }
    if (flag_def) {
      util_copy(answer, UTIL_BUFFER_SIZE, valdef);
      return;
    }
    messerr("No default value provided");
    line_start(question);
  }
}

/* ------------------------------------------------------------------ */
/* Memory and the per-call block registry                              */
/* ------------------------------------------------------------------ */

static int CALL_DEPTH;
/* Blocks handed out by mem_alloc during the current protected call. */
static std::vector<char *> BLOCKS;

void util_call_enter(void) { CALL_DEPTH++; }

int util_call_depth(void) { return CALL_DEPTH; }

/* Blocks handed out and not yet released, whoever holds them (tests). */
static int OUTSTANDING;

int util_live_blocks(void) { return OUTSTANDING; }

void util_call_leave(int unwound) {
  if (CALL_DEPTH > 0) CALL_DEPTH--;
  if (CALL_DEPTH > 0) return;
  if (unwound) {
    for (char *p : BLOCKS) _vek_free(p);
    OUTSTANDING -= (int)BLOCKS.size();
  }
  /* A block that outlives a normal call is its owner's business from now
   * on; it must not be swept by a later unwound call. */
  BLOCKS.clear();
}

char *mem_alloc(int size, int flag_fatal) {
  if (size < 1) return NULL;
  /* Room in the registry first, so that a failure there leaks nothing. */
  if (CALL_DEPTH > 0) BLOCKS.reserve(BLOCKS.size() + 1);
  /* The client's heap: a test that makes its n-th allocation fail walks
   * the bridge's blocks and the client's together. */
  char *p = static_cast<char *>(_vek_malloc((size_t)size));
  if (p == NULL) {
    util_refuse(UTIL_KIND_MEMORY, 0, NULL, 1);
    if (flag_fatal) mes_abort("Memory Allocation failed (%d bytes) - Memory Corruption", size);
    else messerr("Memory Allocation failed (%d bytes)", size);
    return NULL;
  }
  if (CALL_DEPTH > 0) BLOCKS.push_back(p);
  OUTSTANDING++;
  return p;
}

char *mem_free(char *tab) {
  if (tab == NULL) return NULL;
  for (size_t i = BLOCKS.size(); i > 0; i--) {
    if (BLOCKS[i - 1] == tab) {
      BLOCKS[i - 1] = BLOCKS.back();
      BLOCKS.pop_back();
      break;
    }
  }
  _vek_free(tab);
  OUTSTANDING--;
  return NULL;
}
