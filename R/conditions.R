# Conditions signalled by the package's functions.
#
# Every failure of an exported function is an error of class
# c("orvane_<kind>", "orvane_error", "error", "condition") built here, so that
# code can react to the kind (tryCatch(..., orvane_not_found = )) and a log
# holds the reason itself. See ?orvane_error for the kinds and fields.

.orvane_kinds <- c("usage_error", "not_connected", "not_found", "server_error",
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

# One bridge entry point, called for an exported function: returns the
# bridge's list, or signals an orvane_error that names `operation` when the
# bridge answers "error" 1.
.orvane_call <- function(operation, entry, ...) {
  res <- .Call(entry, ..., PACKAGE = "orvanelink")
  if (.failed(res)) .orvane_stop("failure", operation, "see the message above")
  res
}
