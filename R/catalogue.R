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

.names_of <- function(res, element) {
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
  res <- .orvane_call("list the Studies", "IGetStudyList", new_name,
                      if (is.null(location)) "" else location, del)
  .names_of(res, "StudyList")
}

ListDirectories <- function(study = NULL, new = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  new_name <- .check_new_name(new, "new")
  del <- .name_or_empty(delete, "delete")
  res <- .orvane_call(sprintf("list the Directories of %s", .describe(study, "Study")),
                      "IGetDirList", st, new_name, del)
  .names_of(res, "DirList")
}

ListFiles <- function(study = NULL, directory = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  del <- .name_or_empty(delete, "delete")
  res <- .orvane_call(sprintf("list the Files of %s", .describe(directory, "Directory")),
                      "IGetFileList", st, dir, del)
  .names_of(res, "FileList")
}

ListSelections <- function(study = NULL, directory = NULL, file = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  res <- .orvane_call(sprintf("list the selections of %s", .describe(file, "File")),
                      "IGetSelectionList", st, dir, fi)
  .names_of(res, "SelectionList")
}

ListVariables <- function(study = NULL, directory = NULL, file = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  del <- .name_or_empty(delete, "delete")
  res <- .orvane_call(sprintf("list the variables of %s", .describe(file, "File")),
                      "IGetVariableList", st, dir, fi, del)
  .names_of(res, "VariableList")
}

CreateDirectory <- function(directory, study = NULL, allow_existing = FALSE) {
  dir <- .check_new_name(directory, "directory", null_ok = FALSE)
  st <- .name_or_empty(study, "study")
  .check_flag(allow_existing, "allow_existing")
  .orvane_call(sprintf("create Directory '%s' in %s", directory, .describe(study, "Study")),
               "ICreateDir", dir, st, as.integer(allow_existing))
  invisible(TRUE)
}
