# Descriptions of a Db (points or a regular grid) and of server Files, and
# the operations that compare or create them.

.axes <- c("x", "y", "z")

.new_description <- function(ndim, nech, grid, nx, x0, dx, angles, coordinates) {
  structure(list(ndim = ndim, nech = nech, grid = grid, nx = nx, x0 = x0, dx = dx,
                 angles = angles, coordinates = coordinates),
            class = "DbDescription")
}

.check_axis_values <- function(x, arg, ndim, default, positive = FALSE) {
  if (is.null(x)) return(rep(default, ndim))
  if (!is.numeric(x)) .fail(arg, sprintf("must be numeric, not %s", .type_of(x)))
  if (length(x) != ndim) .fail(arg, sprintf("must hold %d value(s), one per axis, not %d", ndim, length(x)))
  if (anyNA(x) || any(!is.finite(x))) .fail(arg, "must hold finite values (no NA)")
  if (positive && any(x <= 0)) .fail(arg, "must hold positive values")
  as.double(x)
}

DbDescription <- function(coordinates = NULL, nx = NULL, x0 = NULL, dx = NULL, angles = NULL) {
  if (is.null(coordinates) == is.null(nx)) {
    .orvane_stop("usage_error", "DbDescription", "give either 'coordinates' (a point Db) or 'nx' (a grid Db)",
                 message = "give either 'coordinates' (a point Db) or 'nx' (a grid Db)")
  }
  if (!is.null(nx)) {
    if (!is.numeric(nx)) .fail("nx", sprintf("must be numeric, not %s", .type_of(nx)))
    ndim <- length(nx)
    if (ndim < 1L || ndim > 3L) .fail("nx", sprintf("must hold 1 to 3 node counts, not %d", ndim))
    if (anyNA(nx) || any(!is.finite(nx)) || any(nx != round(nx)) || any(nx < 1)) {
      .fail("nx", "must hold whole numbers of at least 1")
    }
    nech <- prod(nx)
    if (nech > .Machine$integer.max) .fail("nx", "describes more nodes than the bridge can count (2^31 - 1)")
    x0 <- .check_axis_values(x0, "x0", ndim, 0)
    dx <- .check_axis_values(dx, "dx", ndim, 1, positive = TRUE)
    angles <- .check_axis_values(angles, "angles", ndim, 0)
    return(.new_description(ndim, as.integer(nech), TRUE, as.integer(nx), x0, dx, angles, NULL))
  }
  for (arg in c("x0", "dx", "angles")) {
    if (!is.null(get(arg))) .fail(arg, "describes a grid; a point Db has only 'coordinates'")
  }
  if (is.data.frame(coordinates)) {
    if (!all(vapply(coordinates, is.numeric, logical(1)))) .fail("coordinates", "must hold numeric columns")
    coordinates <- as.matrix(coordinates)
  }
  if (!is.numeric(coordinates)) .fail("coordinates", sprintf("must be numeric, not %s", .type_of(coordinates)))
  if (is.null(dim(coordinates))) coordinates <- matrix(coordinates, ncol = 1L)
  if (length(dim(coordinates)) != 2L) .fail("coordinates", "must be a matrix with one column per axis")
  ndim <- ncol(coordinates)
  nech <- nrow(coordinates)
  if (ndim < 1L || ndim > 3L) .fail("coordinates", sprintf("must have 1 to 3 columns, not %d", ndim))
  if (nech < 1L) .fail("coordinates", "must hold at least one sample")
  if (as.double(ndim) * nech > .Machine$integer.max) .fail("coordinates", "holds too many values")
  if (any(is.nan(coordinates) | is.infinite(coordinates))) {
    .fail("coordinates", "must not hold NaN or infinite values (NA marks an undefined coordinate)")
  }
  storage.mode(coordinates) <- "double"
  dimnames(coordinates) <- list(NULL, .axes[seq_len(ndim)])
  zero <- rep(0, ndim)
  .new_description(ndim, as.integer(nech), FALSE, rep(0L, ndim), zero, zero, zero, coordinates)
}

# Accepts a DbDescription or a plain list of the same fields (also the
# "flag.grid" spelling of the bridge) and rebuilds it through the
# constructor, so that a hand-made or hand-edited list is checked as well.
.as_description <- function(db, arg = "db", need_coordinates = TRUE) {
  if (!is.list(db)) .fail(arg, sprintf("must be a Db description (see DbDescription()), not %s", .type_of(db)))
  grid <- if (!is.null(db$grid)) db$grid else db[["flag.grid"]]
  if (is.null(grid)) .fail(arg, "must say whether it is a grid (element 'grid')")
  if (!(is.logical(grid) || is.numeric(grid)) || length(grid) != 1L || is.na(grid) || !grid %in% c(0, 1)) {
    .fail(arg, "must have 'grid' TRUE or FALSE")
  }
  if (grid) {
    if (is.null(db$nx)) .fail(arg, "describes a grid but has no 'nx'")
    out <- DbDescription(nx = db$nx, x0 = db$x0, dx = db$dx, angles = db$angles)
  } else if (is.null(db$coordinates)) {
    if (need_coordinates) .fail(arg, "describes points but has no 'coordinates'")
    ndim <- .check_count(db$ndim, sprintf("%s$ndim", arg), 1L, 3L)
    nech <- .check_count(db$nech, sprintf("%s$nech", arg), 1L)
    zero <- rep(0, ndim)
    # Point sets are compared by dimension and count only.
    return(.new_description(ndim, nech, FALSE, rep(0L, ndim), zero, zero, zero, NULL))
  } else {
    coords <- db$coordinates
    if (is.null(dim(coords)) && !is.null(db$ndim) && is.numeric(coords)) {
      # A plain vector holds the coordinates axis after axis.
      ndim <- .check_count(db$ndim, sprintf("%s$ndim", arg), 1L, 3L)
      if (length(coords) %% ndim != 0L) .fail(arg, "has a number of coordinates that is not a multiple of 'ndim'")
      coords <- matrix(coords, ncol = ndim)
    }
    out <- DbDescription(coordinates = coords)
  }
  for (field in c("ndim", "nech")) {
    given <- db[[field]]
    if (!is.null(given) && (!is.numeric(given) || length(given) != 1L || is.na(given) || given != out[[field]])) {
      .fail(arg, sprintf("has '%s' = %s where its geometry gives %d", field, format(given), out[[field]]))
    }
  }
  out
}

# The eight Db arguments of the bridge, in its order.
.db_call_args <- function(d) {
  coor <- if (is.null(d$coordinates)) rep(0, d$ndim * d$nech) else as.double(d$coordinates)
  list(as.integer(d$ndim), as.integer(d$nech), as.integer(d$grid), as.integer(d$nx),
       as.double(d$x0), as.double(d$dx), as.double(d$angles), coor)
}

print.DbDescription <- function(x, ...) {
  what <- if (is.null(x$type)) sprintf("%s Db", if (x$grid) "Grid" else "Point")
          else sprintf("%s File", switch(x$type, points = "Point", grid = "Grid", .capitalise(x$type)))
  lines <- if (!is.null(x$nlines) && x$nlines > 0L) sprintf(" in %d line%s", x$nlines, if (x$nlines == 1L) "" else "s")
           else ""
  cat(sprintf("%s description: %d dimension%s, %d sample%s%s\n", what, x$ndim, if (x$ndim == 1L) "" else "s",
              x$nech, if (x$nech == 1L) "" else "s", lines))
  if (length(x$line_samples)) {
    cat(sprintf("  samples per line: %s%s\n", paste(x$line_samples, collapse = ", "),
                if (identical(x$type, "gravity lines"))
                  sprintf(" (a header sample each: %d data samples)", x$nech - length(x$line_samples))
                else ""))
  }
  if (x$grid) {
    tab <- data.frame(axis = .axes[seq_len(x$ndim)], nodes = x$nx, origin = x$x0, mesh = x$dx,
                      angle = x$angles)
    print(tab, row.names = FALSE)
  } else if (is.null(x$coordinates)) {
    if (is.null(x$type)) cat("  (coordinates not included)\n")
  } else {
    for (d in seq_len(x$ndim)) {
      v <- x$coordinates[, d]
      v <- v[!is.na(v)]
      if (length(v)) cat(sprintf("  %s from %g to %g\n", .axes[d], min(v), max(v)))
      else cat(sprintf("  %s undefined\n", .axes[d]))
    }
  }
  invisible(x)
}

# Kinds of File, by the server's type code from 0.
.file_types <- c("points", "gravity lines", "core lines", "grid")

# A File description from the list of IDescribeFile: a DbDescription (the
# geometry a Db needs) with the kind of File and its lines.
.file_description <- function(res) {
  ndim <- as.integer(res$ndim)
  keep <- seq_len(ndim)
  type <- as.integer(res$type)
  d <- .new_description(ndim, as.integer(res$nech), identical(type, 3L), as.integer(res$nx)[keep],
                        as.double(res$x0)[keep], as.double(res$dx)[keep], as.double(res$angles)[keep], NULL)
  d$type <- if (type %in% 0:3) .file_types[type + 1L] else "unknown"
  d$nlines <- as.integer(res$nlines)
  d$line_samples <- as.integer(res$line.samples)
  d
}

FileCharacteristics <- function() {
  res <- .orvane_call("describe the current File", "IDescribeFile", "", "", NULL, 0L)
  .file_description(res)
}

DescribeFile <- function(file = NULL, study = NULL, directory = NULL) {
  fi <- .name_or_empty(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  res <- .orvane_call(sprintf("describe %s", .describe(file, "File")), "IDescribeFile", st, dir, fi, 0L)
  .file_description(res)
}

ReadCoordinates <- function() {
  res <- .orvane_call("read the coordinates of the current File", "SReadCoordinates")
  ndim <- as.integer(res$ndim)
  nech <- as.integer(res$nech)
  tab <- .na_undefined(as.double(res$tab))
  if (length(tab) != ndim * nech) {
    .orvane_stop("communication_error", "read the coordinates of the current File",
                 "the server sent a coordinate block of the wrong size")
  }
  matrix(tab, nrow = nech, ncol = ndim, dimnames = list(NULL, .axes[seq_len(ndim)]))
}

DbCompatible <- function(db) {
  d <- .as_description(db, need_coordinates = FALSE)
  a <- .db_call_args(d)
  run <- .native(.Call("SDbCompatible", a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]], a[[8]],
                       PACKAGE = "orvanelink"))
  # Two descriptions that differ answer FALSE, with the bridge's account of
  # both as a message; anything else that stops the comparison is an error.
  differ <- any(run$out$what == "mismatch")
  if (inherits(run$value, "error") || (.failed(run$value) && !differ)) {
    .say(run$out, c("M", "D"))
    stop(.native_error(run, "compare the Db with the current File"))
  }
  .say(run$out)
  !.failed(run$value)
}

CreateFileForDb <- function(db, file, study = NULL, directory = NULL, allow_existing = FALSE) {
  d <- .as_description(db, need_coordinates = TRUE)
  fi <- .check_new_name(file, "file", null_ok = FALSE)
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  .check_flag(allow_existing, "allow_existing")
  if (d$ndim < 2L) {
    .fail("db", sprintf("has %d dimension; a server File has 2 or 3", d$ndim))
  }
  a <- .db_call_args(d)
  .orvane_call(sprintf("create File '%s' for the Db in %s", file, .describe(directory, "Directory")),
               "ICreateFile", a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]], a[[8]],
               fi, st, dir, as.integer(allow_existing))
  invisible(TRUE)
}

.capitalise <- function(x) paste0(toupper(substring(x, 1, 1)), substring(x, 2))
