# Conditions signalled by the package's functions, and the one way every
# function calls the bridge.
#
# Every failure of an exported function is an error of class
# c("orvane_<kind>", "orvane_error", "error", "condition") built here, so that
# code can react to the kind (tryCatch(..., orvane_not_found = )) and a log
# holds the reason itself. What a call prints reaches R as messages of class
# "orvane_message". See ?orvane_error for the kinds, fields and options.

#' Errors, Messages, Interrupts and Progress of orvanelink
#'
#' Every failure of a function of the package signals an R error of class
#' `c("orvane_<kind>", "orvane_error", "error", "condition")`, whose message
#' names what was attempted and why it failed. What the functions print
#' arrives as R messages of class `"orvane_message"`.
#'
#' @section Kinds:
#' * `orvane_usage_error`: the call cannot be made as given: a bad argument
#'   (refused in R, before anything is sent), a level of the target that the
#'   call needs and that is not set (\samp{You must define the File first}),
#'   or a request the client library refuses without sending it (such as a
#'   server program that cannot be found).
#' * `orvane_not_connected`: there is no connection: call [ConnectOrvane()]
#'   first (also after an interrupted request, which closes the connection).
#' * `orvane_not_found`: a Study, Directory, File, Selection or variable named
#'   in the call does not exist.
#' * `orvane_already_exists`: an item to create exists already.
#' * `orvane_server_error`: the server refused the request; its own text is in
#'   the message and in the field `server`.
#' * `orvane_communication_error`: the connection was refused, lost or closed,
#'   the server did not answer within the time limit (the message then says
#'   \samp{timed out}), or its answer could not be read.
#' * `orvane_failure`: any other failure (such as values the server sent that
#'   do not fit the File, or memory); the message says what happened.
#'
#' @section Fields:
#' Besides `message` and `call`, an `orvane_error` holds
#' * `operation`: what was attempted, such as
#'   `"read variable 'Au' of File 'Samples'"`.
#' * `reason`: why it failed: the messages of the package's native layer and
#'   of the client library for this call, one per line.
#' * `server`: the server's own text when it refused the request, else `NA`.
#' * `code`: the client library's result code when a request failed (1
#'   refused without sending, 2 communication, 3 refused by the server or an
#'   unexpected answer, 4 memory), else `NA`.
#'
#' @section Messages:
#' Functions without a dialogue hand what they print to R as messages:
#' [suppressMessages()] silences them, `capture.output(type = "message")`,
#' knitr and Shiny see them. The console dialogues ([ManageTarget()],
#' [ReadVariable()], [WriteVariable()], [DesignateVariable()]) stay on the
#' console, where a person answers them. [IsConnectedOrvane()] prints
#' nothing.
#'
#' @section Interrupts and time limits:
#' An interrupt (Ctrl-C, Esc) during any wait on the server (connecting, an
#' answer, a long transfer, the launch of a server) returns at once with R's
#' own interrupt condition. The request is abandoned and the connection is
#' closed, since its answer could still arrive; the next call says that
#' nothing is connected until [ConnectOrvane()] is called again.
#'
#' A server that does not answer is given up after the time limit of the
#' connection, `ConnectOrvane(timeout = )`, whose default is the option
#' `orvanelink.timeout` (30 seconds).
#'
#' @section Progress:
#' In an interactive session a transfer of values that runs longer than about
#' two seconds shows a progress bar, drawn by the \pkg{cli} package: the
#' share done, the bytes the values take on the wire (8 per value) moved and
#' in all, such as \samp{472 MB / 800 MB}, the rate and the time left.
#' `options(orvanelink.progress = FALSE)` turns it off.
#'
#' @name orvane_error
#' @aliases orvane_message orvane_usage_error orvane_not_connected
#'   orvane_not_found orvane_already_exists orvane_server_error
#'   orvane_communication_error orvane_failure
#' @examples
#' err <- tryCatch(ListStudies(), error = identity)
#' class(err)
#' conditionMessage(err)
#'
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' tryCatch(ListFiles("Demo", "Nope"),
#'          orvane_not_found = function(e) character(0))
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
NULL

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
