# The console browser of the project tree.

.levels <- c(study = 1L, directory = 2L, file = 3L, selection = 4L, variable = 5L)

ManageTarget <- function(stop_level = "variable", create = FALSE, delete = FALSE, reset = FALSE,
                         db = NULL) {
  if (is.character(stop_level)) {
    if (length(stop_level) != 1L || is.na(stop_level) || !stop_level %in% names(.levels)) {
      .fail("stop_level", sprintf("must be one of %s", paste0("\"", names(.levels), "\"", collapse = ", ")))
    }
    level <- .levels[[stop_level]]
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
  run <- .native(.Call("SManageTarget", as.integer(delete), as.integer(create), as.integer(reset), level,
                       a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]], a[[8]],
                       PACKAGE = "orvanelink"), dialogue = TRUE)
  # Leaving the browser at the Study level answers FALSE; a browser that
  # could not run or lost its connection is an error. The refusals on the
  # way were shown to the person, who was asked again.
  lost <- .failed(run$value) && .lost_connection(run$out)
  if (inherits(run$value, "error") || lost) stop(.native_error(run, "browse the project"))
  !.failed(run$value)
}

DesignateVariable <- function(names) {
  if (!is.character(names)) .fail("names", sprintf("must be a character vector, not %s", .type_of(names)))
  if (length(names) == 0L) .fail("names", "must hold at least one name")
  if (anyNA(names) || any(!nzchar(names))) .fail("names", "must not hold NA or empty names")
  if (any(nchar(names, type = "bytes") > .name_max)) {
    .fail("names", sprintf("must hold names of at most %d characters", .name_max))
  }
  res <- .orvane_call("designate a variable", "SDesignateVariable", names, dialogue = TRUE)
  if (identical(as.integer(res[["flag.continue"]]), 0L)) return(NA_integer_)
  as.integer(res$rank)
}
