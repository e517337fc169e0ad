# Listing the project tree by path, and creating or deleting one item on
# the way, without any dialogue.

# A name for a new item: "None" is how the bridge marks an undefined level,
# so an item of that name could never be designated afterwards.
.check_new_name <- function(x, arg, null_ok = TRUE) {
  .check_name(x, arg, null_ok = null_ok)
  if (!is.null(x) && identical(x, "None")) .fail(arg, "must not be \"None\" (that name marks an undefined item)")
  if (is.null(x)) "" else x
}

.describe <- function(x, level) {
  if (is.null(x)) sprintf("the current %s", level) else sprintf("%s '%s'", level, x)
}

.names_or_stop <- function(res, element, what) {
  if (.failed(res)) stop(sprintf("could not %s (see the message above)", what), call. = FALSE)
  out <- res[[element]]
  if (is.null(out)) character(0) else as.character(out)
}

ListStudies <- function(new = NULL, location = NULL, delete = NULL) {
  new_name <- .check_new_name(new, "new")
  if (!is.null(location)) {
    .check_text(location, "location", max = .path_max)
    if (!nzchar(location)) .fail("location", "must not be empty")
  }
  if (nzchar(new_name) && is.null(location)) .fail("location", "is needed to create a Study")
  if (!nzchar(new_name) && !is.null(location)) .fail("location", "is only used with 'new'")
  del <- .name_or_empty(delete, "delete")
  res <- .Call("IGetStudyList", new_name, if (is.null(location)) "" else location, del,
               PACKAGE = "orvanelink")
  .names_or_stop(res, "StudyList", "list the Studies")
}

ListDirectories <- function(study = NULL, new = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  new_name <- .check_new_name(new, "new")
  del <- .name_or_empty(delete, "delete")
  res <- .Call("IGetDirList", st, new_name, del, PACKAGE = "orvanelink")
  .names_or_stop(res, "DirList", sprintf("list the Directories of %s", .describe(study, "Study")))
}

ListFiles <- function(study = NULL, directory = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  del <- .name_or_empty(delete, "delete")
  res <- .Call("IGetFileList", st, dir, del, PACKAGE = "orvanelink")
  .names_or_stop(res, "FileList", sprintf("list the Files of %s", .describe(directory, "Directory")))
}

ListSelections <- function(study = NULL, directory = NULL, file = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  res <- .Call("IGetSelectionList", st, dir, fi, PACKAGE = "orvanelink")
  .names_or_stop(res, "SelectionList", sprintf("list the selections of %s", .describe(file, "File")))
}

ListVariables <- function(study = NULL, directory = NULL, file = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  del <- .name_or_empty(delete, "delete")
  res <- .Call("IGetVariableList", st, dir, fi, del, PACKAGE = "orvanelink")
  .names_or_stop(res, "VariableList", sprintf("list the variables of %s", .describe(file, "File")))
}

CreateDirectory <- function(directory, study = NULL, allow_existing = FALSE) {
  dir <- .check_new_name(directory, "directory", null_ok = FALSE)
  st <- .name_or_empty(study, "study")
  .check_flag(allow_existing, "allow_existing")
  res <- .Call("ICreateDir", dir, st, as.integer(allow_existing), PACKAGE = "orvanelink")
  if (.failed(res)) {
    stop(sprintf("could not create Directory '%s' in %s (see the message above)", directory,
                 .describe(study, "Study")), call. = FALSE)
  }
  invisible(TRUE)
}
