# The whole project tree in one call: the Files of every Directory of every
# Study, each described once.

#' The Project Tree at a Glance
#'
#' Lists every File of the project (or of one Study, or of one Directory)
#' with its kind, its size and its variables: one call that answers "what is
#' in here". Printed, it is the indented tree of Studies, Directories and
#' Files.
#'
#' Each level is listed once and each File described once (its kind, size
#' and variable names); no value is read. The Studies, Directories and Files
#' met on the way become the target in turn, the last File staying in it.
#'
#' The data frame has one row per File. Studies and Directories that hold no
#' File have no row; they are kept in the attribute `"empty"`, a data frame of
#' `study`, `directory` (`NA` for a Study without Directories) and `after`
#' (the number of Files listed before it), which the print method shows in
#' their places.
#'
#' @param study name of a Study to list alone; `NULL` for every Study.
#' @param directory name of a Directory to list alone; `NULL` for every
#'   Directory. Without `study`, the Directories of that name of every Study.
#' @param x a tree returned by `ListTree()`.
#' @param ... ignored.
#' @return A data frame of class `"orvane_tree"`, in the server's order, with
#'   the columns
#'   * `study`, `directory`, `file`: the path of the File;
#'   * `kind`: `"points"`, `"gravity lines"`, `"core lines"` or `"grid"`;
#'   * `dimension`: 2 or 3;
#'   * `samples`: the number of samples (for a gravity-lines File, the header
#'     sample of each line included);
#'   * `lines`: the number of lines, 0 for other Files;
#'   * `nodes`: a list column, the node counts along X, Y (and Z) of a grid,
#'     `NULL` for other Files;
#'   * `variables`: a list column, the names of the File's variables other
#'     than coordinates and selections (numeric, macro and character
#'     variables);
#'   * `selections`: a list column, the names of the File's selections.
#'
#'   A Study or Directory named but not found is an error of class
#'   `orvane_not_found`.
#' @seealso [ListFiles()], [DescribeFile()], [ReadFile()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' tree <- ListTree()
#' tree
#' tree[tree$kind == "grid", c("file", "samples")]
#' tree$variables[tree$file == "Grid3D"]
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ListTree <- function(study = NULL, directory = NULL) {
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  where <- if (is.null(study)) "the project" else sprintf("Study '%s'", .shown(st))
  if (!is.null(directory)) where <- sprintf("Directory '%s' of %s", .shown(dir), where)
  res <- .orvane_call(sprintf("list the tree of %s", where), "ITree", st, dir)
  r <- res$rows
  df <- data.frame(study = as.character(r$study), directory = as.character(r$directory),
                   file = as.character(r$file), kind = .file_kind(r$type),
                   dimension = as.integer(r$ndim), samples = as.integer(r$nech),
                   lines = as.integer(r$nlines), stringsAsFactors = FALSE)
  df$nodes <- lapply(r$nodes, function(n) if (length(n)) as.integer(n) else NULL)
  df$variables <- lapply(r$variables, as.character)
  df$selections <- lapply(r$selections, as.character)
  empty_dir <- as.character(res$empty_directory)
  empty_dir[!nzchar(empty_dir)] <- NA_character_
  attr(df, "empty") <- data.frame(study = as.character(res$empty_study), directory = empty_dir,
                                  after = as.integer(res$empty_after), stringsAsFactors = FALSE)
  class(df) <- c("orvane_tree", "data.frame")
  df
}

# One line per Study and Directory, then per File its kind and size, with
# its variables and selections below it; in the order of the walk, where the
# Studies and Directories without Files had their place.
.tree_lines <- function(x) {
  empty <- attr(x, "empty")
  if (is.null(empty)) {
    empty <- data.frame(study = character(0), directory = character(0), after = integer(0))
  }
  # Row i sits at i - 1/2, an empty item right after the Files listed before it.
  items <- rbind(data.frame(study = x$study, directory = x$directory, row = seq_len(nrow(x)),
                            at = seq_len(nrow(x)) - 0.5),
                 data.frame(study = empty$study, directory = empty$directory,
                            row = rep(NA_integer_, nrow(empty)), at = empty$after))
  items <- items[order(items$at), , drop = FALSE]
  width <- max(8L, nchar(x$file))
  pad <- strrep(" ", width + 5L)
  out <- character(0)
  last_study <- last_dir <- NA_character_
  for (k in seq_len(nrow(items))) {
    st <- items$study[k]
    dir <- items$directory[k]
    if (!identical(st, last_study)) {
      out <- c(out, st)
      last_dir <- NA_character_
    }
    last_study <- st
    if (is.na(dir)) {
      out <- c(out, "  (no Directory)")
      next
    }
    if (!identical(dir, last_dir)) out <- c(out, paste0("  ", dir))
    last_dir <- dir
    i <- items$row[k]
    if (is.na(i)) {
      out <- c(out, "    (no File)")
      next
    }
    shape <- if (identical(x$kind[i], "grid")) paste(x$nodes[[i]], collapse = " x ")
             else if (x$lines[i] > 0L) sprintf("%d line%s, %d samples", x$lines[i],
                                               if (x$lines[i] == 1L) "" else "s", x$samples[i])
             else sprintf("%d samples", x$samples[i])
    out <- c(out, sprintf("    %-*s %s, %d-D, %s", width, x$file[i], x$kind[i],
                          x$dimension[i], shape))
    vars <- x$variables[[i]]
    sels <- x$selections[[i]]
    out <- c(out, sprintf("%svariables : %s", pad,
                          if (length(vars)) paste(vars, collapse = ", ") else "(none)"))
    if (length(sels)) out <- c(out, sprintf("%sselections: %s", pad, paste(sels, collapse = ", ")))
  }
  out
}

#' @rdname ListTree
#' @export
print.orvane_tree <- function(x, ...) {
  # A subset that lost the columns of the tree prints as the data frame it is.
  if (!all(c("study", "directory", "file", "kind", "dimension", "samples", "lines", "nodes",
             "variables", "selections") %in% names(x))) {
    return(NextMethod())
  }
  if (nrow(x) == 0L && !NROW(attr(x, "empty"))) {
    cat("(an empty project)\n")
  } else {
    cat(.tree_lines(x), sep = "\n")
  }
  invisible(x)
}

# The kinds of File of the server's type codes.
.file_kind <- function(type) {
  type <- as.integer(type)
  kind <- rep("unknown", length(type))
  known <- !is.na(type) & type %in% 0:3
  kind[known] <- .file_types[type[known] + 1L]
  kind
}
