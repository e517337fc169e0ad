# Writes that leave nothing half-made. A write that fails, or that the user
# interrupts, removes what it created (the File, the variable, the
# selection), so that the project looks as it did before the call. The
# bridge notes each item before asking the server for it (SJournal), with
# its whole path: an interrupt closes the connection (the answer of the
# abandoned request could come at any time), and the cleanup then connects
# again to the same server, which a launched server allows since it keeps
# running.

.state$undo_depth <- 0L

.journal <- function(arm) {
  tryCatch(.Call("SJournal", arm, PACKAGE = "orvanelink"),
           error = function(e) list(kind = integer(0)))
}

# Evaluates `expr`, the whole of a write; the writes a write calls (WriteFile
# creating its File) are part of the outer one. An error comes back with
# what could not be removed added to its message; an interrupt, which
# carries no message, says it in a message of its own.
.undoable <- function(expr) {
  if (.state$undo_depth > 0L) return(expr)
  .state$undo_depth <- 1L
  .journal(TRUE)
  settled <- FALSE
  on.exit({
    .state$undo_depth <- 0L
    notes <- .journal(FALSE)
    if (!settled) {
      left <- .undo(notes)
      if (length(left)) {
        message(paste(c("The interrupted write may have left:", left), collapse = "\n  "))
      }
    }
  })
  value <- tryCatch(expr, error = function(e) {
    settled <<- TRUE
    left <- .undo(.journal(FALSE))
    if (length(left)) {
      e$message <- paste(c(conditionMessage(e), "It may have left on the server:", left),
                         collapse = "\n  ")
      e$left <- left
    }
    stop(e)
  })
  settled <- TRUE
  value
}

# Connects again to where the connection was made, quietly; whether it worked.
.reconnect <- function() {
  place <- tryCatch(.Call("SConnectionPlace", PACKAGE = "orvanelink"), error = function(e) NULL)
  if (is.null(place) || place$port < 0L) return(FALSE)
  run <- .native(.Call("SConnectOrvane", place$path, "", place$host, place$port, 0L, place$verbose,
                       PACKAGE = "orvanelink"))
  !inherits(run$value, "error") && !.failed(run$value)
}

# Removes the items of the notes that exist, the last created first, and
# returns the description of each one that could not be removed (nor
# shown to be absent), and of each variable lost on the way.
.undo <- function(notes) {
  if (!length(notes$kind)) return(character(0))
  where <- function(i) {
    path <- sprintf("%s/%s", notes$study[i], notes$directory[i])
    switch(as.character(notes$kind[i]),
           "3" = sprintf("File '%s' in %s", notes$name[i], path),
           sprintf("variable '%s' of File '%s' in %s", notes$name[i], notes$file[i], path))
  }
  files <- notes$kind == 3L
  file_key <- paste(notes$study, notes$directory, ifelse(files, notes$name, notes$file), sep = "\r")
  # A variable of a File this call created goes with its File.
  created <- notes$kind == 5L & !(file_key %in% file_key[files])
  replaced <- notes$kind == 6L
  lost <- vapply(which(replaced), function(i) {
    paste(where(i), "(deleted to be written anew; its old values are lost)")
  }, "")
  todo <- rev(which(files | created))
  connected <- IsConnectedOrvane() || .reconnect()
  if (!connected) return(c(vapply(todo, where, ""), lost))
  quiet <- function(entry, ...) {
    run <- .native(.Call(entry, ..., PACKAGE = "orvanelink"))
    if (inherits(run$value, "error") || .failed(run$value)) NULL else run$value
  }
  left <- character(0)
  for (i in todo) {
    # The File's Directory lists it, the File its variables.
    where_it_is <- c(list(notes$study[i], notes$directory[i]), if (!files[i]) list(notes$file[i]))
    entry <- if (files[i]) "IGetFileList" else "IGetVariableList"
    have <- do.call(quiet, c(entry, where_it_is, ""))[[
      if (files[i]) "FileList" else "VariableList"]]
    gone <- !is.null(have) && (!notes$name[i] %in% have ||
                               !is.null(do.call(quiet, c(entry, where_it_is, notes$name[i]))))
    if (!gone) left <- c(left, where(i))
  }
  c(left, lost)
}
