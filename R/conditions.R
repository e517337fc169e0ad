# Conditions signalled by the package's functions, and the one way every
# function calls the bridge.
#
# Every failure of an exported function becomes an R error here, and only
# here (.orvane_error): a bad argument (.fail), a refusal made in R
# (.orvane_stop) and a failed native call (.native_error) alike. Its class is
# c("orvane_<kind>", "orvane_error", "error", "condition") (a time-out and a
# closed connection are communication errors as well), so that code can
# react to the kind (tryCatch(..., orvane_not_found = )); its call is the
# call the user made; its message is one line in the user's words, what
# could not be done and why, with the native layer's own texts (function
# names, system errors) in the field `detail`. The kind of a native failure
# is read from what the native layer recorded beside each error line, never
# from its wording. What a call prints reaches R as messages of class
# "orvane_message". See ?orvane_error for the kinds, fields and options.

#' Errors, Messages, Interrupts and Progress of orvanelink
#'
#' Every failure of a function of the package signals an R error of class
#' `c("orvane_<kind>", "orvane_error", "error", "condition")`, whose call is
#' the call you made (so R prints \samp{Error in ReadFile("Nope") :}) and
#' whose message is one line that names what was attempted and why it
#' failed, in words about your Studies, Files and variables. What the
#' functions print arrives as R messages of class `"orvane_message"`.
#'
#' Messages are valid UTF-8 text whatever you passed: names are taken in
#' UTF-8 (a string marked latin1 is converted), bytes that are no UTF-8 are
#' refused and shown escaped (\samp{'file' is not valid UTF-8 text:
#' 'A<ff><fe>'}), text longer than 80 characters is cut, and a list of
#' names shows the first five and how many more.
#'
#' @section Kinds:
#' * `orvane_usage_error`: the call cannot be made as given: a bad argument
#'   (refused in R, before anything is sent or changed; the message starts
#'   with the argument's name, such as \samp{'file' must not be NA}), a level
#'   of the target that the call needs and that is not set
#'   (\samp{You must define the File first}), or a request the client library
#'   refuses without sending it (such as a server program that cannot be
#'   found).
#' * `orvane_not_connected`: there is no connection: call [ConnectOrvane()]
#'   first (also after an interrupted request, which closes the connection).
#' * `orvane_not_found`: a Study, Directory, File, Selection or variable named
#'   in the call does not exist.
#' * `orvane_already_exists`: an item to create exists already.
#' * `orvane_server_error`: the server refused the request; its own text is in
#'   the message and in the field `server`.
#' * `orvane_communication_error`: the connection was refused, the server
#'   could not be reached or launched, or its answer could not be read. Two
#'   kinds of it have a class of their own, and close the connection (the
#'   next [ConnectOrvane()] connects again, without a [DisconnectOrvane()]):
#'   * `orvane_connection_closed`: the server closed the connection (it was
#'     stopped or killed);
#'   * `orvane_timeout`: the server did not answer within the time limit (the
#'     message says \samp{timed out}); its answer might still come, and would
#'     be taken for the answer of the next request.
#' * `orvane_failure`: any other failure (memory, or a fault of the package's
#'   native layer); the message says what happened.
#'
#' The kind comes with the failure from where it was found (the package's
#' native layer or the client library records it beside its text), so
#' every refusal has its kind whatever its wording.
#'
#' @section Fields:
#' Besides `message` and `call`, an `orvane_error` holds
#' * `operation`: what was attempted, such as
#'   `"read variable 'Au' of File 'Samples'"`, or, for a bad argument, the
#'   name of the function called.
#' * `reason`: why it failed, as the message says it.
#' * `detail`: the texts of the package's native layer and of the client
#'   library for this call, one per line (function names and system errors
#'   included), for a log or a bug report; the trace file
#'   (\env{VEK_SERVER_TRACE}) has more.
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
#' nothing is connected until [ConnectOrvane()] is called again. A server
#' launched by [ConnectOrvane()] does not see the Ctrl-C typed for R.
#'
#' A server that does not answer is given up after the time limit of the
#' connection, `ConnectOrvane(timeout = )`, whose default is the option
#' `orvanelink.timeout` (30 seconds), and the connection is closed for the
#' same reason.
#'
#' @section Progress:
#' In an interactive session a transfer of values that runs longer than about
#' two seconds shows a progress bar, drawn by the \pkg{cli} package: the
#' share done, the bytes the values take on the wire (8 per value) moved and
#' in all, such as \samp{472 MB / 800 MB}, the rate and the time left.
#' `options(orvanelink.progress = FALSE)` turns it off. A call that moves
#' several variables ([ReadFile()], [WriteFile()], every item of a macro
#' variable) shows one bar for all of them.
#'
#' @name orvane_error
#' @aliases orvane_message orvane_usage_error orvane_not_connected
#'   orvane_not_found orvane_already_exists orvane_server_error
#'   orvane_communication_error orvane_connection_closed orvane_timeout
#'   orvane_failure
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

# The kinds of failure, each with the family it also belongs to ("" none).
.kind_families <- c(usage_error = "", not_connected = "", not_found = "", already_exists = "",
                    server_error = "", communication_error = "",
                    timeout = "orvane_communication_error",
                    connection_closed = "orvane_communication_error", failure = "")

.kind_classes <- function(kind) {
  family <- .kind_families[[kind]] # a kind that is not one of them stops here
  c(paste0("orvane_", kind), if (nzchar(family)) family, "orvane_error", "error", "condition")
}

# The frame of the exported function the user called: the outermost of
# ours on the stack (ours call each other: ConnectOrvane() asks
# IsConnectedOrvane()). Its call, and its name, recognised by the function
# itself, so that orvanelink::f(), f() called from the user's own functions
# and f passed as lapply()'s FUN are all found.
.user_call <- function() {
  ns <- asNamespace("orvanelink")
  exported <- NULL
  for (i in seq_len(sys.nframe())) {
    f <- sys.function(i)
    if (!is.function(f) || !identical(environment(f), ns)) next
    if (is.null(exported)) exported <- getNamespaceExports(ns)
    for (name in exported) {
      if (identical(get0(name, envir = ns, inherits = FALSE), f)) {
        return(list(call = sys.call(i), name = name))
      }
    }
  }
  list(call = NULL, name = NA_character_)
}

# `operation` says what was attempted ("read variable 'Au' of File
# 'Samples'", or the function's name for a bad argument), `reason` why it
# failed, in the user's words; `detail` holds the native layer's texts,
# `server` the server's own text and `code` the client's result code, when
# there are such.
.orvane_error <- function(kind, operation, reason = "", server = NA_character_, code = NA_integer_,
                          message = NULL, call = NULL, detail = "") {
  if (is.null(call)) call <- .user_call()$call
  # Whatever a caller built from the user's text, the condition holds one
  # string of valid UTF-8 for each field: a message that is empty, several
  # strings or raw bytes says nothing to a log or to tryCatch().
  one <- function(x) .shown(paste(as.character(x), collapse = " "), max = .Machine$integer.max)
  operation <- one(operation)
  reason <- one(reason)
  if (!nzchar(operation)) operation <- "call the function"
  message <- if (is.null(message)) "" else one(message)
  if (!nzchar(message)) {
    message <- if (nzchar(reason)) sprintf("could not %s: %s", operation, reason)
               else sprintf("could not %s", operation)
  }
  detail <- paste(.shown_lines(as.character(detail)), collapse = "\n")
  if (!is.na(server)) server <- one(server)
  structure(class = .kind_classes(kind),
            list(message = message, call = call, operation = operation, reason = reason,
                 detail = detail, server = server, code = code))
}

.orvane_stop <- function(...) stop(.orvane_error(...))

# A bad argument, found in R before anything reaches native code.
.fail <- function(arg, what) {
  reason <- sprintf("'%s' %s", .shown(arg), paste(what, collapse = " "))
  who <- .user_call()
  .orvane_stop("usage_error", operation = who$name, reason = reason, message = reason,
               call = who$call)
}

# Evaluates `expr` (a .Call) while the bridge's and the client's output is
# kept rather than written on the console (`dialogue`: kept and written, for
# a person answers it). Returns the value (an R error raised by the bridge,
# such as its abort, is returned as the condition) and the output: the
# pieces with their kinds and, for error lines, the kind of failure each
# reports; the client's failed code and the kind of its first failure, the
# server's SERROR text. An interrupt leaves with the output emitted, so that
# nothing printed is lost.
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
}

# The R error of the bridge's fatal path, which says nothing of its own.
.abort_message <- "Abort caught by C and return to R"

# The class of each kind of failure the native layer records.
.native_kinds <- c(usage = "usage_error", not_connected = "not_connected", not_found = "not_found",
                   already_exists = "already_exists", mismatch = "usage_error",
                   server = "server_error", communication = "communication_error",
                   timeout = "timeout", closed = "connection_closed",
                   refused = "communication_error", host = "communication_error",
                   launch = "communication_error", memory = "failure")

# Failures that leave no connection behind.
.connection_lost <- c("timeout", "closed")

.level_names <- c("Study", "Directory", "File", "selection", "variable")

# The lines of a text, each shown whole (see .shown()): split first, since
# a line break would be shown escaped.
.shown_lines <- function(text) .shown(unlist(strsplit(text, "\n")), max = .Machine$integer.max)

.first_line <- function(text) {
  lines <- trimws(.shown_lines(text))
  lines <- lines[nzchar(lines)]
  if (length(lines)) lines[1L] else ""
}

# The reason of a refusal the bridge made, from what it recorded: the item
# of the target it concerns, by its level and name ("None" is the bridge's
# mark of a level not chosen, never a name to show), else its own line.
.bridge_reason <- function(what, level, item, given, text) {
  lv <- .level_names[match(level, seq_along(.level_names))]
  switch(what,
    not_connected = "not connected to VEKserver: call ConnectOrvane() first",
    usage = if (!is.na(lv) && !nzchar(item)) sprintf("no %s is chosen", lv) else .first_line(text),
    not_found = if (is.na(lv)) sprintf("'%s' does not exist", item)
                else if (given) sprintf("%s '%s' does not exist", lv, item)
                else if (identical(item, "None")) sprintf("no %s is chosen", lv)
                else sprintf("%s '%s' no longer exists", lv, item),
    already_exists = if (is.na(lv)) sprintf("'%s' already exists", item)
                     else sprintf("%s '%s' already exists", lv, item),
    .first_line(text))
}

# The reason of a failure the client met, by its kind, in the call's
# `context`: "call" (on a connection, which it may lose), "connect" (making
# one) or "launch" (making one to a program launched for it).
.client_reason <- function(kind, out, context) {
  connecting <- context != "call"
  again <- if (connecting) "" else "; ConnectOrvane() connects again"
  if (context == "launch" && kind %in% c("refused", "closed", "communication")) {
    return(paste("the launched program did not become a server:",
                 "no server answers on the port it was to serve"))
  }
  switch(kind,
    server = if (nzchar(out$server)) sprintf("VEKserver refused: %s", out$server)
             else "VEKserver refused the request",
    closed = paste0("VEKserver closed the connection", again),
    timeout = paste0(sprintf("VEKserver did not answer within %s s (timed out)",
                             format(.timeout())),
                     if (connecting) "" else ", and the connection was closed", again),
    refused = "nothing accepts connections there (is a server running on that port?)",
    host = "the host name is not known",
    launch = "the launched program did not become a server (it ended, or reported no usable port)",
    memory = "out of memory",
    usage = {
      # The client's own refusals ("VEKserver executable has not been
      # found"); those that name its functions are not for users.
      line <- .first_line(paste(out$text[out$kind == "C"], collapse = "\n"))
      if (nzchar(line) && !grepl("_vek_|[A-Za-z]\\(\\)", line)) {
        line
      } else {
        "the client library refused the call"
      }
    },
    "the exchange with VEKserver failed")
}

# Kind and reason of a failed native call. A connection lost in the call
# comes first: whatever the bridge said after it only follows from it.
# `args` names the user's argument behind a value the bridge refused by
# its own name (c(vector = "values")): the reason then names the argument.
.failure <- function(out, value, context, args = NULL) {
  client <- out$client
  refusal <- which(out$kind == "E" & nzchar(out$what))
  if (!client %in% .connection_lost && length(refusal)) {
    i <- refusal[1L]
    reason <- .bridge_reason(out$what[i], out$level[i], out$item[i], out$given[i], out$text[i])
    item <- out$item[i]
    if (out$what[i] == "usage" && nzchar(item) && item %in% names(args)) {
      named <- sub(sprintf("^The %s ", item), sprintf("'%s' ", args[[item]]), reason)
      reason <- if (identical(named, reason)) sprintf("'%s': %s", args[[item]], reason) else named
    }
    return(list(kind = .native_kinds[[out$what[i]]], reason = reason))
  }
  if (nzchar(client)) {
    return(list(kind = .native_kinds[[client]], reason = .client_reason(client, out, context)))
  }
  message <- if (inherits(value, "error")) conditionMessage(value) else ""
  list(kind = "failure",
       reason = if (nzchar(message) && !identical(message, .abort_message)) .first_line(message)
                else "the native layer failed (see the error's 'detail')")
}

# The native layer's own account: the bridge's error lines and the client's
# error texts of this call, in order, and an R error it raised.
.failure_detail <- function(out, value) {
  lines <- .shown_lines(out$text[out$kind %in% c("E", "C")])
  lines <- trimws(lines[nzchar(trimws(lines))])
  if (inherits(value, "error") && !identical(conditionMessage(value), .abort_message)) {
    lines <- c(lines, conditionMessage(value))
  }
  paste(lines, collapse = "\n")
}

.native_error <- function(run, operation, context = "call", args = NULL) {
  out <- run$out
  f <- .failure(out, run$value, context, args)
  .orvane_error(f$kind, operation, f$reason, detail = .failure_detail(out, run$value),
                server = if (nzchar(out$server)) out$server else NA_character_,
                code = if (out$code != 0L) out$code else NA_integer_)
}

# TRUE when a failed call lost the connection, could not reach the server
# or found no connection.
.lost_connection <- function(out) {
  out$client %in% c("communication", "refused", "host", "launch", .connection_lost) ||
    any(out$what == "not_connected")
}

# One bridge entry point, called for an exported function: returns the
# bridge's list, or signals an orvane_error that names `operation` when the
# bridge answers "error" 1. What the call printed becomes R messages; on a
# failure its error lines go into the condition instead. A `dialogue` keeps
# its text on the console. `context`: see .client_reason; `args`: see
# .failure.
.orvane_call <- function(operation, entry, ..., dialogue = FALSE, context = "call", args = NULL) {
  run <- .native(.Call(entry, ..., PACKAGE = "orvanelink"), dialogue)
  failed <- inherits(run$value, "error") || .failed(run$value)
  if (!dialogue) .say(run$out, if (failed) c("M", "D") else c("M", "E", "C", "D"))
  if (failed) stop(.native_error(run, operation, context, args))
  run$value
}
