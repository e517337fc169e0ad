# Moving variable values between R and the server.

# The seven characters that end the name of a macro variable.
.macro_suffix <- "[xxxxx]"

.check_unit <- function(unit) .check_text(unit, "unit", max = 10L)

# Selection values: TRUE/1 selected, FALSE/0 not. Passed on as they are:
# the bridge reads logical, integer and double vectors alike.
.check_selection_values <- function(x, arg, n) {
  if (!(is.logical(x) || is.numeric(x))) {
    .fail(arg, sprintf("must be logical or 0/1, not %s", .type_of(x)))
  }
  if (anyNA(x)) .fail(arg, "must not hold NA (a sample is either selected or not)")
  if (!is.logical(x) && !all(x %in% c(0, 1))) .fail(arg, "must hold only TRUE/FALSE or 1/0")
  if (length(x) != n) {
    .fail(arg, sprintf("must hold one value per sample (%d), not %d", n, length(x)))
  }
  x
}

#' Read a Variable of a File
#'
#' Reads the values of a numeric variable (or a selection) of a File named by
#' its path, without any dialogue. The path and the variable become the
#' target.
#'
#' The values of a grid File come in the order of a `Db`: the first axis (X)
#' varies fastest, then Y, then Z. Values the server holds as undefined (and
#' any above 1e30) come as `NA`. The values are copied once, from what the
#' server sent into the result: a read needs memory for about twice the
#' result.
#'
#' A line File gives every sample the server holds: for a gravity-lines File
#' that includes the header sample that starts each line (12 values for 3
#' lines of 12 samples, the headers `NA` unless something was stored there).
#' [ReadFile()] leaves the headers out.
#'
#' @param variable name of the variable.
#' @param study,directory,file names of the items; `NULL` for the target's
#'   item of that level.
#' @param selection name of an existing selection of the File to read under:
#'   samples it leaves out come as `NA`; it becomes the target's selection.
#'   `NULL` reads every sample and leaves the target's selection as it was.
#' @param item for a macro variable (a name ending with `"[xxxxx]"`): the rank
#'   of the item to read, from 1, or 0 for all items. Ignored for other
#'   variables.
#' @return A numeric vector with one value per sample; for all items of a
#'   macro variable, a matrix with one column per item. A failure (an unknown
#'   name, a character variable, an item beyond the last) is an R error.
#' @seealso [CopyDbToOrvane()], [ReadVariable()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' grade <- CopyOrvaneToDb("Grade", "Demo", "Mining", "Grid3D")
#' summary(grade)
#' dim(CopyOrvaneToDb("Simu[xxxxx]"))
#' head(CopyOrvaneToDb("Simu[xxxxx]", item = 2))
#' CopyOrvaneToDb("Cu", file = "Samples", selection = "Inside")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
CopyOrvaneToDb <- function(variable, study = NULL, directory = NULL, file = NULL, selection = NULL,
                           item = 0) {
  variable <- .check_name(variable, "variable")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  sel <- if (is.null(selection)) "None" else .check_name(selection, "selection")
  item <- .check_count(item, "item", 0L)
  # The bridge hands back the finished value (NA where undefined, a matrix
  # of one column per item for a whole macro variable): touching it here
  # would copy it.
  .orvane_call(sprintf("read variable '%s' of %s", variable, .describe(file, "File")),
               "CopyVariableI2R", st, dir, fi, sel, variable, item)$tab
}

#' Write a Variable, and a Selection, into a File
#'
#' Writes R values into a new numeric variable of a File named by its path,
#' and optionally a selection beside it, without any dialogue. The path, the
#' selection and the variable become the target.
#'
#' The variable is created as a 32-bit variable. A server may store such a
#' variable in single precision (about seven significant digits); the
#' reference server keeps every value as a double, so that `pi` comes back as
#' `3.1415926535897931`.
#'
#' A write that fails or is interrupted removes what it created (the
#' selection, the variable), so that the File looks as before; after an
#' interrupt, which closes the connection, it connects again to the same
#' server to do so (and stays connected). When that cleanup cannot be made
#' (the server is gone), the error says what may be left.
#'
#' An existing numeric variable of 32 bits with the same unit (or, for
#' `selection`, an existing selection) is written over in one change on the
#' server: it keeps its place among the File's variables, its display format
#' and its comment, and is never missing on the way: a write that fails keeps
#' its old values. Any other item of that name (another unit or bit length, a
#' selection named as the variable, a character or macro variable) is
#' deleted and created anew; if the write then fails, the old item is lost,
#' as the error says.
#'
#' Copies one after the other on the same File (`CopyDbToOrvane()` or
#' `CopyOrvaneToDb()`) do not make the server list and set the Study,
#' Directory and File again; any other call of the package in between, or a
#' failure, makes the next copy do so.
#'
#' @param values numeric (or logical) vector, one value per sample of the
#'   File; `NA` is stored as undefined. For a grid, in the order of a `Db` (X
#'   fastest, then Y, then Z). A gravity-lines File of \eqn{S} samples in
#'   \eqn{L} lines also takes its \eqn{S - L} data samples alone: they go
#'   behind the header sample that starts each line.
#' @param variable name of the variable to write. A variable or selection of
#'   that name is replaced, without a question (see Details). Names must be
#'   valid UTF-8 without `/`, `..` or a leading dot; a name ending with
#'   `"[xxxxx]"` (a macro variable) or like `"Simu[00003]"` (one of its items)
#'   is refused: write macro variables with [WriteFile()].
#' @param study,directory,file names of the items; `NULL` for the target's
#'   item of that level.
#' @param selection name of a selection to write first; it becomes the
#'   target's selection. `NULL` writes none, and the variable is then written
#'   whole.
#' @param selection_values logical or 0/1 vector, one per sample: the samples
#'   the selection keeps.
#' @param unit unit of the new variable, at most 10 characters; `""` for none.
#' @return `TRUE`, invisibly. A failure (wrong number of values, unknown path)
#'   is an R error.
#' @seealso [CopyOrvaneToDb()], [WriteVariable()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' cu <- CopyOrvaneToDb("Cu", "Demo", "Mining", "Samples")
#' CopyDbToOrvane(cu * 1e4, "CuPpm", unit = "ppm",
#'                selection = "Rich", selection_values = !is.na(cu) & cu > 0.5)
#' ListVariables()
#' CopyOrvaneToDb("CuPpm", selection = "Rich")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
CopyDbToOrvane <- function(values, variable, study = NULL, directory = NULL, file = NULL,
                           selection = NULL, selection_values = NULL, unit = "") {
  values <- .check_values(values, "values")
  var <- .check_item_name(variable, "variable")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  unit <- .check_unit(unit)
  if (is.null(selection)) {
    if (!is.null(selection_values)) {
      .fail("selection_values", "needs a 'selection' name to be written under")
    }
    sel <- "None"
    selv <- NULL
  } else {
    sel <- .check_item_name(selection, "selection")
    if (identical(sel, var)) .fail("selection", "must differ from 'variable'")
    if (is.null(selection_values)) .fail("selection_values", "is needed to write a selection")
    selv <- .check_selection_values(selection_values, "selection_values", length(values))
  }
  .undoable(.orvane_call(sprintf("write variable '%s' into %s", var, .describe(file, "File")),
                         "CopyVariableR2I", st, dir, fi, sel, var, unit, values, selv,
                         args = c(vector = "values", selection = "selection_values")))
  invisible(TRUE)
}

#' Read Variables Chosen on the Console
#'
#' Shows the variables of the target's File in a console menu and reads each
#' one the user designates, until the user answers \samp{stop}.
#'
#' The target must hold a File (see [ManageTarget()]); its selection, if any,
#' is applied (see [ShowTarget()]). For a macro variable the user is asked
#' for the item to read (0 for all). A variable that cannot be read (a
#' character variable) gives a warning and the menu comes back.
#'
#' @param orient for a grid File, one value per axis: 1 keeps the direction
#'   of the axis, -1 reverses it.
#' @return A named list with one element per variable read: a numeric vector,
#'   or a matrix with one column per item for all items of a macro variable.
#'   `NA` marks undefined values. The name of a single macro item holds its
#'   rank, such as `"Simu[00002]"`.
#' @seealso [CopyOrvaneToDb()], which needs no dialogue.
#' @examples
#' if (interactive()) {
#'   project <- OrvaneSampleProject()
#'   ConnectOrvane(run_server = TRUE, path = project)
#'   ListVariables("Demo", "Mining", "Grid3D")  # the File becomes the target
#'   values <- ReadVariable()
#'   str(values)
#'   DisconnectOrvane()
#'   unlink(project, recursive = TRUE)
#' }
#' @export
ReadVariable <- function(orient = c(1, 1, 1)) {
  orient <- .check_orient(orient)
  out <- list()
  repeat {
    run <- .native(.Call("SReadVariable", orient[1L], orient[2L], orient[3L],
                         PACKAGE = "orvanelink"),
                   dialogue = TRUE)
    res <- run$value
    name <- if (is.list(res)) as.character(res$varname) else character(0)
    if (!inherits(res, "error") && !.failed(res)) {
      if (identical(as.integer(res[["flag.continue"]]), 0L)) break
      tab <- .na_undefined(as.double(res$tab))
      nvar <- as.integer(res$nvar)
      if (nvar > 1L && length(tab) %% nvar == 0L) tab <- matrix(tab, ncol = nvar)
      out[[name]] <- tab
      next
    }
    # Without a designation (no File in the target, a failed request before
    # the menu) asking again would fail again.
    if (length(name) != 1L || name %in% c("", "None")) {
      stop(.native_error(run, "read variables of the current File"))
    }
    warning(sprintf("variable '%s' could not be read", .shown(name)), call. = FALSE)
  }
  out
}

#' Write a Variable into the Target's File
#'
#' Writes R values into a variable of the target's File, asking on the
#' console before an existing variable is overwritten.
#'
#' A new variable is stored in 32 bits. The target's selection, if any, is
#' applied while writing: samples it leaves out are stored as undefined. The
#' target's selection is the last one named or created by [CopyOrvaneToDb()]
#' or [CopyDbToOrvane()], or chosen in [ManageTarget()]; [ShowTarget()] shows
#' it. Declining to overwrite writes nothing and is no error. A write that
#' fails or is interrupted removes the variable it created, connecting again
#' to the same server after an interrupt (see [CopyDbToOrvane()]).
#'
#' @param values numeric (or logical) vector, one value per sample; `NA` is
#'   stored as undefined.
#' @param name name of the variable; `NULL` for the target's Variable. The
#'   characters `[ ] { }` become `_`, so `"Grade[1]"` is written as
#'   `"Grade_1_"`.
#' @param orient for a grid File, one value per axis: 1 keeps the direction
#'   of the axis, -1 reverses it.
#' @return `TRUE`, invisibly. A failure is an R error (after a failed write
#'   the whole target is cleared).
#' @seealso [CopyDbToOrvane()], which never asks.
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Samples")  # the File becomes the target
#' WriteVariable(seq(0, 1, length.out = 12), "Ramp")
#' CopyOrvaneToDb("Ramp")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
WriteVariable <- function(values, name = NULL, orient = c(1, 1, 1)) {
  values <- .check_values(values, "values")
  nm <- .name_or_empty(name, "name")
  # The bridge writes the brackets of a name as '_'.
  if (nzchar(nm)) .check_item_name(gsub("[][{}]", "_", nm), "name")
  orient <- .check_orient(orient)
  .undoable(.orvane_call(sprintf("write %s", .describe(name, "variable")),
                         "SWriteVariable", orient[1L], orient[2L], orient[3L], values, nm,
                         dialogue = TRUE, args = c(vector = "values")))
  invisible(TRUE)
}
