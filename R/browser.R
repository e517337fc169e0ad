# The console browser of the project tree.

.levels <- c("study", "directory", "file", "selection", "variable")

#' Browse the Project Tree on the Console
#'
#' Walks the project tree in console menus, level after level (Study,
#' Directory, File, Selection, Variable), and sets the target to the items
#' chosen. Items can be created and deleted on the way.
#'
#' Each menu lists the items by rank. Answer with a rank, \samp{..} to go
#' back up, \samp{new}, \samp{del}, \samp{help} to show the list again, or
#' \samp{stop}. The Selection menu also offers \samp{0} (no selection); a File
#' without selections passes that level silently.
#'
#' @param stop_level the last level to choose: one of `"study"`,
#'   `"directory"`, `"file"`, `"selection"`, `"variable"`, or its number 1 to
#'   5.
#' @param create whether the menus offer \samp{new} (create an item).
#' @param delete whether the menus offer \samp{del} (delete an item, after a
#'   confirmation).
#' @param reset whether to clear the target first, so that the walk starts at
#'   the Study menu. Otherwise levels already chosen are passed without a
#'   menu.
#' @param db a Db description ([DbDescription()]) that gives the layout of a
#'   File created in the browser; without it a File cannot be created there.
#' @return `TRUE` when the walk went past `stop_level`; `FALSE` when it ended
#'   earlier (\samp{stop}, a declined deletion, a refusal), in which case what
#'   was chosen so far stays in the target. Without a connection, or when the
#'   connection is lost on the way, an [orvane_error].
#' @seealso [ShowTarget()], and the list functions such as [ListFiles()],
#'   which set the target without a dialogue.
#' @examples
#' if (interactive()) {
#'   project <- OrvaneSampleProject()
#'   ConnectOrvane(run_server = TRUE, path = project)
#'   ManageTarget(stop_level = "file")
#'   ShowTarget()
#'   DisconnectOrvane()
#'   unlink(project, recursive = TRUE)
#' }
#' @export
ManageTarget <- function(stop_level = "variable", create = FALSE, delete = FALSE, reset = FALSE,
                         db = NULL) {
  if (is.character(stop_level)) {
    if (length(stop_level) != 1L || is.na(stop_level) || !stop_level %in% .levels) {
      .fail("stop_level", sprintf("must be one of %s",
                                  paste0("\"", .levels, "\"", collapse = ", ")))
    }
    level <- match(stop_level, .levels)
  } else {
    level <- .check_count(stop_level, "stop_level", 1L, 5L)
  }
  .check_flag(create, "create")
  .check_flag(delete, "delete")
  .check_flag(reset, "reset")
  # A File created in the browser takes its layout from the Db; without one
  # the description is empty and the server refuses the File.
  d <- if (is.null(db)) NULL else .as_description(db, need_coordinates = TRUE)
  a <- if (is.null(d)) list(0L, 0L, 0L, integer(0), numeric(0), numeric(0), numeric(0), numeric(0))
       else .db_call_args(d)
  run <- .native(.Call("SManageTarget", as.integer(delete), as.integer(create), as.integer(reset),
                       level, a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]], a[[8]],
                       PACKAGE = "orvanelink"), dialogue = TRUE)
  # Leaving the browser at the Study level answers FALSE; a browser that
  # could not run or lost its connection is an error. The refusals on the
  # way were shown to the person, who was asked again.
  lost <- .failed(run$value) && .lost_connection(run$out)
  if (inherits(run$value, "error") || lost) stop(.native_error(run, "browse the project"))
  !.failed(run$value)
}

#' Choose One Name From a List on the Console
#'
#' Shows a menu of names (typically the variables of a `Db` about to be
#' copied into the target's File) and returns the rank the user chooses.
#'
#' The target must hold a File. Answer with a rank, \samp{help} or
#' \samp{stop}.
#'
#' @param names character vector of the names to offer.
#' @return The rank chosen (from 1), or `NA` when the user answered
#'   \samp{stop}. Without a File in the target, an R error.
#' @seealso [WriteVariable()]
#' @examples
#' if (interactive()) {
#'   project <- OrvaneSampleProject()
#'   ConnectOrvane(run_server = TRUE, path = project)
#'   ListVariables("Demo", "Mining", "Samples")
#'   db_vars <- c("Cu", "Au", "Ag")
#'   while (!is.na(k <- DesignateVariable(db_vars))) cat("chosen:", db_vars[k], "\n")
#'   DisconnectOrvane()
#'   unlink(project, recursive = TRUE)
#' }
#' @export
DesignateVariable <- function(names) {
  names <- .check_name_vector(names, "names")
  res <- .orvane_call("designate a variable", "SDesignateVariable", names, dialogue = TRUE)
  if (identical(as.integer(res[["flag.continue"]]), 0L)) return(NA_integer_)
  as.integer(res$rank)
}
