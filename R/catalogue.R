# Listing the project tree by path, and creating or deleting one item on
# the way, without any dialogue.

# A name for a new item: "None" is how the bridge marks an undefined level,
# so an item of that name could never be designated afterwards.
.check_new_name <- function(x, arg) {
  x <- .check_name(x, arg, null_ok = FALSE)
  if (identical(x, "None")) .fail(arg, "must not be \"None\" (that name marks an undefined item)")
  x
}

# A Study or Directory to create: a name the server can keep as a folder.
.check_new_folder <- function(x, arg, null_ok = TRUE) {
  if (is.null(x) && null_ok) "" else .check_item_name(x, arg, macro_ok = TRUE)
}

.describe <- function(x, level) {
  if (is.null(x)) sprintf("the current %s", level) else sprintf("%s '%s'", level, .shown(x))
}

.names_of <- function(res, element) as.character(res[[element]])

#' List, Create or Delete Studies
#'
#' Lists the Studies of the project, after creating one and deleting one when
#' asked.
#'
#' Creation comes before deletion; a Study to delete beside one to create
#' must exist (or be the new one), which is checked before anything is
#' created. A created Study becomes the target; a deletion clears the whole
#' target.
#'
#' Names are single strings of 1 to 499 bytes of UTF-8; a new Study's name
#' holds no `/`, no `..` and no leading dot, and `"None"` cannot be created
#' (it marks an undefined level of the target).
#'
#' @param new name of a Study to create, or `NULL`. A Study of that name that
#'   exists already is accepted (the bridge says
#'   \samp{The name '...' already exists}) and becomes the target.
#' @param location the physical location of the new Study; needed with `new`.
#'   The bundled reference server keeps every Study in the project's folder of
#'   its name: it takes that folder, as a path (`file.path(project, new)`) or
#'   relative to the project (`new`), and refuses any other location with the
#'   reason, creating nothing.
#' @param delete name of a Study to delete, with everything in it, or `NULL`.
#' @return A character vector of Study names, in the server's order. A
#'   failure (an unknown name to delete, no connection) is an R error.
#' @seealso [ListDirectories()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListStudies()
#' ListStudies(new = "Survey", location = file.path(project, "Survey"))
#' ListStudies(delete = "Survey")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListStudies <- function(new = NULL, location = NULL, delete = NULL) {
  new_name <- .check_new_folder(new, "new")
  if (!is.null(location)) {
    location <- .check_text(location, "location", max = .path_max)
    if (!nzchar(location)) .fail("location", "must not be empty")
  }
  if (nzchar(new_name) && is.null(location)) .fail("location", "is needed to create a Study")
  if (!nzchar(new_name) && !is.null(location)) .fail("location", "is only used with 'new'")
  del <- .name_or_empty(delete, "delete")
  operation <- "list the Studies"
  if (nzchar(new_name) && nzchar(del)) {
    .check_deletion(del, new_name, .orvane_call(operation, "IGetStudyList", "", "", "")$StudyList,
                    "Study", operation)
  }
  res <- .orvane_call(operation, "IGetStudyList", new_name,
                      if (is.null(location)) "" else location, del)
  .names_of(res, "StudyList")
}

# An item to delete beside one to create must exist (or be the new one):
# the call creates first, and would fail after its creation.
.check_deletion <- function(del, new_name, have, level, operation) {
  if (!del %in% c(as.character(have), new_name)) {
    reason <- sprintf("'delete' names %s '%s', which does not exist; '%s' was not created", level,
                      .shown(del), .shown(new_name))
    .orvane_stop("not_found", operation, reason)
  }
}

#' List, Create or Delete Directories of a Study
#'
#' Lists the Directories of a Study, after creating one and deleting one when
#' asked. The Study becomes the target.
#'
#' Creation comes before deletion; a Directory to delete beside one to
#' create must exist (or be the new one), which is checked before anything is
#' created. A created Directory becomes the target; a deletion clears the
#' Directory and the levels below it.
#'
#' @param study name of the Study; `NULL` for the target's Study.
#' @param new name of a Directory to create, or `NULL`. A name that exists
#'   already is an error.
#' @param delete name of a Directory to delete, with everything in it, or
#'   `NULL`.
#' @return A character vector of Directory names. A failure is an R error.
#' @seealso [CreateDirectory()], [ListFiles()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListDirectories("Demo")
#' ListDirectories("Demo", new = "Scratch")
#' ListDirectories("Demo", delete = "Scratch")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListDirectories <- function(study = NULL, new = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  new_name <- .check_new_folder(new, "new")
  del <- .name_or_empty(delete, "delete")
  operation <- sprintf("list the Directories of %s", .describe(study, "Study"))
  if (nzchar(new_name) && nzchar(del)) {
    .check_deletion(del, new_name, .orvane_call(operation, "IGetDirList", st, "", "")$DirList,
                    "Directory", operation)
  }
  res <- .orvane_call(operation, "IGetDirList", st, new_name, del)
  .names_of(res, "DirList")
}

#' List or Delete Files of a Directory
#'
#' Lists the Files of a Directory, after deleting one when asked. The Study
#' and the Directory become the target.
#'
#' @param study name of the Study; `NULL` for the target's Study.
#' @param directory name of the Directory; `NULL` for the target's.
#' @param delete name of a File to delete, with its variables, or `NULL`.
#' @return A character vector of File names. A failure is an R error.
#' @seealso [CreateFileForDb()], [DescribeFile()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListFiles("Demo", "Mining")
#' ListFiles(delete = "Lines")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListFiles <- function(study = NULL, directory = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  del <- .name_or_empty(delete, "delete")
  res <- .orvane_call(sprintf("list the Files of %s", .describe(directory, "Directory")),
                      "IGetFileList", st, dir, del)
  .names_of(res, "FileList")
}

#' List the Selections of a File
#'
#' Lists the selections (0/1 masks over the samples) of a File. The Study,
#' Directory and File become the target.
#'
#' @param study,directory,file names of the items; `NULL` for the target's
#'   item of that level.
#' @return A character vector of selection names, empty when the File has
#'   none. A failure is an R error.
#' @seealso [ListVariables()], [CopyDbToOrvane()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListSelections("Demo", "Mining", "Samples")
#' ListSelections(file = "Grid2D")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListSelections <- function(study = NULL, directory = NULL, file = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  res <- .orvane_call(sprintf("list the selections of %s", .describe(file, "File")),
                      "IGetSelectionList", st, dir, fi)
  .names_of(res, "SelectionList")
}

#' List or Delete the Variables of a File
#'
#' Lists the numeric variables of a File (plain and macro variables, and
#' selections), after deleting one when asked. The Study, Directory and File
#' become the target.
#'
#' Coordinate and character variables are not listed. The name of a macro
#' variable ends with `"[xxxxx]"`.
#'
#' @param study,directory,file names of the items; `NULL` for the target's
#'   item of that level.
#' @param delete name of a variable to delete, or `NULL`.
#' @return A character vector of variable names. A failure is an R error.
#' @seealso [CopyOrvaneToDb()], [ListSelections()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Grid3D")
#' ListVariables(delete = "Grade")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListVariables <- function(study = NULL, directory = NULL, file = NULL, delete = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  fi <- .name_or_empty(file, "file")
  del <- .name_or_empty(delete, "delete")
  res <- .orvane_call(sprintf("list the variables of %s", .describe(file, "File")),
                      "IGetVariableList", st, dir, fi, del)
  .names_of(res, "VariableList")
}

#' Create a Directory
#'
#' Creates a Directory in a Study; it becomes the target's Directory.
#'
#' @param directory name of the new Directory: no `/`, no `..`, no leading
#'   dot.
#' @param study name of the Study; `NULL` for the target's Study.
#' @param allow_existing whether an existing Directory of that name is
#'   accepted (it then becomes the target's Directory, and nothing is
#'   created).
#' @return `TRUE`, invisibly. An existing name without `allow_existing`, or
#'   any other failure, is an R error.
#' @seealso [ListDirectories()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' CreateDirectory("Results", study = "Demo")
#' CreateDirectory("Results", allow_existing = TRUE)
#' ListDirectories()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
CreateDirectory <- function(directory, study = NULL, allow_existing = FALSE) {
  dir <- .check_new_folder(directory, "directory", null_ok = FALSE)
  st <- .name_or_empty(study, "study")
  .check_flag(allow_existing, "allow_existing")
  .orvane_call(sprintf("create Directory '%s' in %s", dir, .describe(study, "Study")),
               "ICreateDir", dir, st, as.integer(allow_existing))
  invisible(TRUE)
}
