# Moving variable values between R and the server.

# The seven characters that end the name of a macro variable.
.macro_suffix <- "[xxxxx]"

.check_unit <- function(unit) {
  .check_text(unit, "unit", max = 10L)
  unit <- .as_utf8(unit)
  if (identical(unit, "")) "" else unit
}

# Selection values: TRUE/1 selected, FALSE/0 not. Passed on as they are:
# the bridge reads logical, integer and double vectors alike.
.check_selection_values <- function(x, arg, n) {
  if (!(is.logical(x) || is.numeric(x))) .fail(arg, sprintf("must be logical or 0/1, not %s", .type_of(x)))
  if (anyNA(x)) .fail(arg, "must not hold NA (a sample is either selected or not)")
  if (!is.logical(x) && !all(x %in% c(0, 1))) .fail(arg, "must hold only TRUE/FALSE or 1/0")
  if (length(x) != n) .fail(arg, sprintf("must hold one value per sample (%d), not %d", n, length(x)))
  x
}

CopyOrvaneToDb <- function(variable, study = NULL, directory = NULL, file = NULL, selection = NULL,
                           item = 0) {
  .check_name(variable, "variable")
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

CopyDbToOrvane <- function(values, variable, study = NULL, directory = NULL, file = NULL,
                           selection = NULL, selection_values = NULL, unit = "") {
  values <- .check_values(values, "values")
  var <- .check_item_name(variable, "variable")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  unit <- .check_unit(unit)
  if (is.null(selection)) {
    if (!is.null(selection_values)) .fail("selection_values", "needs a 'selection' name to be written under")
    sel <- "None"
    selv <- NULL
  } else {
    sel <- .check_item_name(selection, "selection")
    if (identical(sel, var)) .fail("selection", "must differ from 'variable'")
    if (is.null(selection_values)) .fail("selection_values", "is needed to write a selection")
    selv <- .check_selection_values(selection_values, "selection_values", length(values))
  }
  .undoable(.orvane_call(sprintf("write variable '%s' into %s", variable, .describe(file, "File")),
                         "CopyVariableR2I", st, dir, fi, sel, var, unit, values, selv))
  invisible(TRUE)
}

ReadVariable <- function(orient = c(1, 1, 1)) {
  orient <- .check_orient(orient)
  out <- list()
  repeat {
    run <- .native(.Call("SReadVariable", orient[1L], orient[2L], orient[3L], PACKAGE = "orvanelink"),
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
    warning(sprintf("variable '%s' could not be read", name), call. = FALSE)
  }
  out
}

WriteVariable <- function(values, name = NULL, orient = c(1, 1, 1)) {
  values <- .check_values(values, "values")
  nm <- .name_or_empty(name, "name")
  # The bridge writes the brackets of a name as '_'.
  if (nzchar(nm)) .check_item_name(gsub("[][{}]", "_", nm), "name")
  orient <- .check_orient(orient)
  .undoable(.orvane_call(sprintf("write %s", .describe(name, "variable")),
                         "SWriteVariable", orient[1L], orient[2L], orient[3L], values, nm, dialogue = TRUE))
  invisible(TRUE)
}
