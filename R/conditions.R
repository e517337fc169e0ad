# Conditions signalled by the package's functions, and the one way every
# function calls the bridge.
#
# Every failure of an exported function is an error of class
# c("orvane_<kind>", "orvane_error", "error", "condition") built here, so that
# code can react to the kind (tryCatch(..., orvane_not_found = )) and a log
# holds the reason itself. What a call prints reaches R as messages of class
# "orvane_message". See ?orvane_error for the kinds, fields and options.

.orvane_kinds <- c("usage_error", "not_connected", "not_found", "already_exists", "server_error",
                   "communication_error", "failure")

# `operation` says what was attempted ("read variable 'Au' of File
# 'Samples'"), `reason` why it failed; `server` is the server's own text and
# `code` the client's result code, when there are such.
.orvane_error <- function(kind, operation, reason = "", server = NA_character_, code = NA_integer_,
                          message = NULL, call = NULL) {
  stopifnot(kind %in% .orvane_kinds)
  if (is.null(message)) {
    message <- if (nzchar(reason)) sprintf("could not %s: %s", operation, reason)
               else sprintf("could not %s", operation)
  }
  structure(class = c(paste0("orvane_", kind), "orvane_error", "error", "condition"),
            list(message = message, call = call, operation = operation, reason = reason,
                 server = server, code = code))
}

.orvane_stop <- function(...) stop(.orvane_error(...))

# A bad argument, found in R before anything reaches native code.
.fail <- function(arg, what) {
  reason <- sprintf("'%s' %s", arg, what)
  .orvane_stop("usage_error", operation = .calling_function(), reason = reason, message = reason)
}

# Name of the exported function the user called, for the `operation` field
# of argument errors.
.calling_function <- function() {
  exported <- getNamespaceExports("orvanelink")
  for (cl in rev(sys.calls())) {
    f <- cl[[1L]]
    if (is.name(f) && as.character(f) %in% exported) return(as.character(f))
  }
  NA_character_
}

# Evaluates `expr` (a .Call) while the bridge's and the client's output is
# kept rather than written on the console (`dialogue`: kept and written, for
# a person answers it). Returns the value (an R error raised by the bridge,
# such as its abort, is returned as the condition) and the output: the
# pieces with their kinds, the client's failed code, the server's SERROR
# text and whether a wait timed out. An interrupt leaves with the output
# emitted, so that nothing printed is lost.
.native <- function(expr, dialogue = FALSE) {
  mark <- .Call("SCaptureBegin", as.integer(dialogue), PACKAGE = "orvanelink")
  out <- NULL
  on.exit(if (is.null(out)) {
    left <- .Call("SCaptureEnd", mark, PACKAGE = "orvanelink")
    if (!dialogue) .say(left)
  })
  value <- tryCatch(expr, error = identity)
  out <- .Call("SCaptureEnd", mark, PACKAGE = "orvanelink")
  list(value = value, out = out)
}

# Console text of the output pieces of the given kinds, in their order, the
# client's lines as it writes them on a console.
.output_text <- function(out, kinds = c("M", "E", "C", "D")) {
  keep <- out$kind %in% kinds
  text <- out$text[keep]
  kind <- out$kind[keep]
  text[kind == "C"] <- sprintf("VEKClient ERROR: %s\n", text[kind == "C"])
  text[kind == "D"] <- sprintf("VEKClient Debug: %s\n", text[kind == "D"])
  paste(text, collapse = "")
}

.say <- function(out, kinds = c("M", "E", "C", "D")) {
  text <- .output_text(out, kinds)
  if (nzchar(text)) {
    message(structure(class = c("orvane_message", "message", "condition"),
                      list(message = text, call = NULL)))
  }
  invisible()
}

# The bridge's refusals, recognised by its own texts (which never change).
.bridge_kinds <- c("^You must use the command 'ConnectOrvane' first" = "not_connected",
                   "^The name '.*' does not exist" = "not_found",
                   "^The name '.*' already exists" = "already_exists",
                   "^You must define the " = "usage_error")

# Kind of a failed call: the bridge's refusal when it made one, else what
# the client met (a server's SERROR, a lost, refused or silent connection, a
# call it refused), else a generic failure.
.failure_kind <- function(out) {
  errors <- unlist(strsplit(out$text[out$kind == "E"], "\n", fixed = TRUE))
  for (pattern in names(.bridge_kinds)) {
    if (any(grepl(pattern, errors))) return(.bridge_kinds[[pattern]])
  }
  if (nzchar(out$server)) return("server_error")
  switch(as.character(out$code), "1" = "usage_error", "2" = , "3" = "communication_error", "failure")
}

# The reason of a failure: the bridge's error lines and the client's error
# texts of this call, in order.
.failure_reason <- function(out, value) {
  lines <- unlist(strsplit(out$text[out$kind %in% c("E", "C")], "\n", fixed = TRUE))
  lines <- trimws(lines[nzchar(trimws(lines))])
  if (isTRUE(out$timed_out)) {
    lines <- c(sprintf("VEKserver did not answer within %s s (timed out)", format(.timeout())), lines)
  }
  if (inherits(value, "error") && !identical(conditionMessage(value), .abort_message)) {
    lines <- c(lines, conditionMessage(value))
  }
  paste(lines, collapse = "\n")
}

# The R error of the bridge's fatal path, which says nothing of its own.
.abort_message <- "Abort caught by C and return to R"

.native_error <- function(run, operation) {
  out <- run$out
  .orvane_error(.failure_kind(out), operation, .failure_reason(out, run$value),
                server = if (nzchar(out$server)) out$server else NA_character_,
                code = if (out$code != 0L) out$code else NA_integer_)
}

# One bridge entry point, called for an exported function: returns the
# bridge's list, or signals an orvane_error that names `operation` when the
# bridge answers "error" 1. What the call printed becomes R messages; on a
# failure its error lines go into the condition instead. A `dialogue` keeps
# its text on the console.
.orvane_call <- function(operation, entry, ..., dialogue = FALSE) {
  run <- .native(.Call(entry, ..., PACKAGE = "orvanelink"), dialogue)
  failed <- inherits(run$value, "error") || .failed(run$value)
  if (!dialogue) .say(run$out, if (failed) c("M", "D") else c("M", "E", "C", "D"))
  if (failed) stop(.native_error(run, operation))
  run$value
}
