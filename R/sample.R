# The sample project shipped with the package, for examples and first steps.

OrvaneSampleProject <- function(dir = tempfile("orvane-project-")) {
  .check_text(dir, "dir", max = .path_max)
  if (!nzchar(dir)) .fail("dir", "must not be empty")
  src <- system.file("extdata", "sample_project", package = "orvanelink")
  if (!nzchar(src)) .orvane_stop("failure", "copy the sample project", "it is not installed with the package")
  if (file.exists(dir) && length(list.files(dir, all.files = TRUE, no.. = TRUE)) > 0L) {
    .fail("dir", sprintf("must be a new or empty directory: %s", dir))
  }
  dir.create(dir, recursive = TRUE, showWarnings = FALSE)
  items <- list.files(src, full.names = TRUE, all.files = TRUE, no.. = TRUE)
  ok <- file.copy(items, dir, recursive = TRUE, copy.mode = TRUE)
  if (!all(ok)) .orvane_stop("failure", sprintf("copy the sample project into %s", dir), "a file copy failed")
  normalizePath(dir)
}
