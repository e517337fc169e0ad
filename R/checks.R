# Argument checks shared by the user functions. Everything a user can get
# wrong is refused here, with the argument's name in the message, before a
# value reaches native code: the bridge would either abort the call with a
# terse "Wrong type" or quietly cut a long name.

# Longest name the bridge keeps (its buffers hold 500 bytes with the NUL).
.name_max <- 499L

# Undefined reals: the bridge writes 1.234e30 and treats anything above 1e30
# as undefined; R users expect NA.
.undef_limit <- 1e30

# A single non-empty name of at most 499 characters, as valid UTF-8 text
# (a string marked latin1 is converted; other bytes that are no UTF-8 are
# refused, shown escaped), returned in UTF-8, which is what the server keeps.
# NULL passes through when `null_ok`; callers translate it into "" (the
# current item of that level) or "None" (no selection).
.check_name <- function(x, arg, null_ok = FALSE) {
  if (is.null(x)) {
    if (null_ok) return(invisible(NULL))
    .fail(arg, "must be a name (a single character string), not NULL")
  }
  if (!is.character(x)) .fail(arg, sprintf("must be a character string, not %s", .type_of(x)))
  if (length(x) != 1L) .fail(arg, sprintf("must be a single string, not %d strings", length(x)))
  if (is.na(x)) .fail(arg, "must not be NA")
  if (!nzchar(x)) {
    .fail(arg,
          if (null_ok) "must not be empty (use NULL for the current item)" else "must not be empty")
  }
  utf8 <- .as_utf8(x)
  if (is.na(utf8)) .fail(arg, sprintf("is not valid UTF-8 text: '%s'", .shown(x)))
  if (nchar(utf8, type = "bytes") > .name_max) {
    .fail(arg, sprintf("is too long (%d bytes; at most %d)",
                       nchar(utf8, type = "bytes"), .name_max))
  }
  if (grepl("[[:cntrl:]]", utf8)) {
    .fail(arg, sprintf("must not contain control characters: '%s'", .shown(utf8)))
  }
  invisible(utf8)
}

# Several names (variables to read, a menu's entries), each as .check_name
# wants it; returned in UTF-8. The first offending one is shown, with its
# rank.
.check_name_vector <- function(x, arg, what = "names") {
  if (!is.character(x)) {
    .fail(arg, sprintf("must be a character vector of %s, not %s", what, .type_of(x)))
  }
  if (length(x) == 0L) .fail(arg, sprintf("must hold at least one of the %s", what))
  utf8 <- .as_utf8(x)
  bad <- function(test, why) {
    i <- which(test)
    if (length(i)) .fail(arg, sprintf("holds %s at position %d%s", why, i[1L],
                                      if (length(i) > 1L) sprintf(" (and %d more)", length(i) - 1L)
                                      else ""))
  }
  bad(is.na(x), "NA")
  bad(!nzchar(x), "an empty string")
  if (anyNA(utf8)) {
    i <- which(is.na(utf8))[1L]
    .fail(arg, sprintf("holds text that is not valid UTF-8 at position %d: '%s'", i, .shown(x[i])))
  }
  bad(nchar(utf8, type = "bytes") > .name_max, sprintf("a name longer than %d bytes", .name_max))
  bad(grepl("[[:cntrl:]]", utf8), "a name with control characters")
  utf8
}

# Text as UTF-8, NA where it is no valid text: strings marked latin1 are
# converted, any other must hold UTF-8 already (enc2utf8 would turn its bad
# bytes into "<ff>" text).
.as_utf8 <- function(x) {
  x <- as.character(x)
  latin <- !is.na(x) & Encoding(x) == "latin1"
  x[latin] <- enc2utf8(x[latin])
  x[!latin & !is.na(x) & !validUTF8(x)] <- NA
  x
}

# Text for a message: bytes that are not UTF-8 and control characters shown
# as <ff> and <0a>, and a text longer than `max` characters cut (a message
# names what was wrong, it does not repeat a megabyte), so that a message
# about a bad name is itself one short line of valid text.
.shown <- function(x, max = 80L) {
  x <- as.character(x)
  good <- .as_utf8(x)
  bad <- !is.na(x) & is.na(good)
  good[bad] <- iconv(x[bad], "UTF-8", "UTF-8", sub = "byte")
  good[is.na(good)] <- "NA"
  # A control character would break the message's line or move its text.
  for (code in c(1:31, 127L)) {
    good <- gsub(intToUtf8(code), sprintf("<%02x>", code), good)
  }
  long <- nchar(good, type = "chars", allowNA = TRUE) > max
  long[is.na(long)] <- FALSE
  good[long] <- sprintf("%s... (%d characters)", substr(good[long], 1L, max), nchar(good[long]))
  good
}

# The first few of `x`, quoted, and how many more: a message that lists
# names stays a line whatever their number.
.listed <- function(x, first = 5L) {
  x <- unique(x)
  shown <- paste0("'", .shown(x[seq_len(min(first, length(x)))]), "'", collapse = ", ")
  if (length(x) > first) sprintf("%s and %d more", shown, length(x) - first) else shown
}

# The name of an item a write creates or writes (File, variable, selection,
# column), checked before anything changes: a name (.check_name) in UTF-8
# that the server can keep as a folder or a file (no '/', no '..', no '.' in
# front), and, unless `macro_ok`, not a name the server keeps for a macro
# variable ("Simu[xxxxx]") or one of its items ("Simu[00003]"). Returned in
# UTF-8.
.check_item_name <- function(x, arg, macro_ok = FALSE) {
  x <- .check_new_name(x, arg)
  shown <- .shown(x)
  if (grepl("/", x) || grepl("..", x, fixed = TRUE) || startsWith(x, ".")) {
    .fail(arg, sprintf("is '%s', which cannot name an item: no '/', no '..' and no '.' in front",
                       shown))
  }
  if (!macro_ok && grepl("\\[xxxxx\\]$", x)) {
    stem <- .shown(sub("\\[xxxxx\\]$", "", x))
    .fail(arg, sprintf(
      paste("is '%s': a name ending with \"[xxxxx]\" is kept for macro variables, which",
            "WriteFile() writes from columns %s.1, %s.2, ..."), shown, stem, stem))
  }
  if (!macro_ok && grepl("\\[[0-9]{5}\\]$", x)) {
    .fail(arg, sprintf(
      "is '%s', the name of an item of the macro variable '%s', which is not written alone",
      shown, .shown(sub("\\[[0-9]{5}\\]$", "[xxxxx]", x))))
  }
  x
}

# The value handed to the bridge for an optional name: "" stands for "the
# current item of that level" (or "nothing to create/delete").
.name_or_empty <- function(x, arg) {
  x <- .check_name(x, arg, null_ok = TRUE)
  if (is.null(x)) "" else x
}

# A free text (unit, path) that may be empty, returned in UTF-8.
.check_text <- function(x, arg, max = .name_max) {
  if (!is.character(x)) .fail(arg, sprintf("must be a character string, not %s", .type_of(x)))
  if (length(x) != 1L) .fail(arg, sprintf("must be a single string, not %d strings", length(x)))
  if (is.na(x)) .fail(arg, "must not be NA")
  utf8 <- .as_utf8(x)
  if (is.na(utf8)) .fail(arg, sprintf("is not valid UTF-8 text: '%s'", .shown(x)))
  if (nchar(utf8, type = "bytes") > max) {
    .fail(arg, sprintf("is too long (%d bytes; at most %d)", nchar(utf8, type = "bytes"), max))
  }
  if (grepl("[[:cntrl:]]", utf8)) .fail(arg, "must not contain control characters")
  invisible(utf8)
}

.check_flag <- function(x, arg) {
  if (!is.logical(x) || length(x) != 1L || is.na(x)) .fail(arg, "must be TRUE or FALSE")
  invisible(x)
}

# A single whole number within [lower, upper], returned as an integer.
.check_count <- function(x, arg, lower = -.Machine$integer.max, upper = .Machine$integer.max) {
  if (!is.numeric(x)) .fail(arg, sprintf("must be a number, not %s", .type_of(x)))
  if (length(x) != 1L) .fail(arg, sprintf("must be a single number, not %d numbers", length(x)))
  if (is.na(x)) .fail(arg, "must not be NA")
  if (!is.finite(x) || x != round(x)) .fail(arg, "must be a whole number")
  if (x < lower || x > upper) {
    .fail(arg, sprintf("must be between %s and %s", format(lower), format(upper)))
  }
  as.integer(x)
}

# Orientation of the three grid axes: 1 keeps an axis, -1 reverses it.
.check_orient <- function(x, arg = "orient") {
  if (!is.numeric(x) || length(x) != 3L || anyNA(x) || !all(x %in% c(-1, 1))) {
    .fail(arg, "must hold three values, each 1 (keep the axis) or -1 (reverse it)")
  }
  as.integer(x)
}

# Values written into a variable: numeric or logical, NA allowed (stored as
# undefined), nothing infinite (the server has no such value) and nothing
# above 1e30 (the server would read it as undefined). Returned as they are
# (the bridge reads every numeric type); the bounds come from one native
# pass that allocates nothing, where x > 1e30 would build a logical vector
# as long as x and min() and max() would read it twice.
.check_values <- function(x, arg) {
  if (!(is.numeric(x) || is.logical(x)) || !is.null(dim(x)) && length(dim(x)) > 2L) {
    .fail(arg, sprintf("must be a numeric vector, not %s", .type_of(x)))
  }
  if (length(x) == 0L) .fail(arg, "must hold at least one value")
  if (length(x) > .Machine$integer.max) {
    .fail(arg, sprintf("holds %.0f values, more than a File has samples (at most 2^31 - 1)",
                       length(x)))
  }
  problem <- .Call("SValuesProblem", x, PACKAGE = "orvanelink")
  if (problem == 1L) .fail(arg, "must not hold infinite values")
  if (problem == 2L) {
    .fail(arg, "must not hold values above 1e30 (the server reads them as undefined; use NA)")
  }
  x
}

.type_of <- function(x) {
  if (is.null(x)) return("NULL")
  if (is.function(x)) return("a function")
  if (is.environment(x)) return("an environment")
  if (is.language(x)) return("an R expression")
  cls <- class(x)[1L]
  if (cls %in% c("numeric", "integer", "character", "logical", "list")) typeof(x) else cls
}

# Server values above 1e30 are undefined: NA for R.
.na_undefined <- function(x) {
  x[!is.na(x) & x > .undef_limit] <- NA_real_
  x
}

# The bridge answers with a list whose "error" is 0 or 1.
.failed <- function(res) {
  !is.list(res) || is.null(res$error) || !identical(as.integer(res$error)[1L], 0L)
}
