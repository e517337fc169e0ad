# The sample project shipped with the package, for examples and first steps.

#' A Fresh Copy of the Sample Project
#'
#' Copies the small project shipped with the package into a new directory, so
#' that the bundled reference server can serve it and changes do not touch
#' the installed copy.
#'
#' The project holds one Study, `"Demo"`, with one Directory, `"Mining"`,
#' holding five Files: `"Samples"` (12 points in 2-D with the variables
#' `"Cu"` and `"Au"` and the selection `"Inside"`), `"Grid2D"` (a 5 x 4 grid
#' with `"Depth"`), `"Grid3D"` (a rotated 4 x 3 x 2 grid with `"Grade"`, the
#' macro variable `"Simu[xxxxx]"` of three items, and the character variable
#' `"Lithology"`), `"Lines"` (a gravity line file) and `"Cores"` (a core line
#' file).
#'
#' Its on-disk format is described in the package's \file{src/server/README.md}.
#'
#' @param dir the directory to create; it must not exist yet or be empty.
#' @return The absolute path of the new directory.
#' @seealso [ConnectOrvane()]
#' @examples
#' project <- OrvaneSampleProject()
#' list.files(project, recursive = TRUE)
#' unlink(project, recursive = TRUE)
#' @export
OrvaneSampleProject <- function(dir = tempfile("orvane-project-")) {
  dir <- .check_text(dir, "dir", max = .path_max)
  if (!nzchar(dir)) .fail("dir", "must not be empty")
  src <- system.file("extdata", "sample_project", package = "orvanelink", mustWork = TRUE)
  if (file.exists(dir) && length(list.files(dir, all.files = TRUE, no.. = TRUE)) > 0L) {
    .fail("dir", sprintf("must be a new or empty directory: %s", dir))
  }
  dir.create(dir, recursive = TRUE, showWarnings = FALSE)
  items <- list.files(src, full.names = TRUE, all.files = TRUE, no.. = TRUE)
  # The system's reason goes into the error, not into a warning besides it.
  why <- character()
  ok <- withCallingHandlers(file.copy(items, dir, recursive = TRUE), warning = function(w) {
    why <<- c(why, conditionMessage(w))
    invokeRestart("muffleWarning")
  })
  if (!all(ok)) {
    .orvane_stop("failure", sprintf("copy the sample project into %s", dir),
                 paste(c("a file copy failed", why[1L]), collapse = ": "))
  }
  normalizePath(dir)
}
