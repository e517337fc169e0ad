# Descriptions of a Db (points or a regular grid) and of server Files, and
# the operations that compare or create them.

.axes <- c("x", "y", "z")

.new_description <- function(ndim, nech, grid, nx, x0, dx, angles, coordinates) {
  structure(list(ndim = ndim, nech = nech, grid = grid, nx = nx, x0 = x0, dx = dx,
                 angles = angles, coordinates = coordinates),
            class = "DbDescription")
}

.check_axis_values <- function(x, arg, ndim, default, positive = FALSE, limit = Inf) {
  if (is.null(x)) return(rep(default, ndim))
  if (!is.numeric(x)) .fail(arg, sprintf("must be numeric, not %s", .type_of(x)))
  if (length(x) != ndim) {
    .fail(arg, sprintf("must hold %d value(s), one per axis, not %d", ndim, length(x)))
  }
  if (anyNA(x) || any(!is.finite(x))) .fail(arg, "must hold finite values (no NA)")
  if (positive && any(x <= 0)) .fail(arg, "must hold positive values")
  if (any(abs(x) >= limit)) {
    .fail(arg, sprintf("must hold values between -%g and %g (both excluded)", limit, limit))
  }
  as.double(x)
}

# The rotation of a grid: R = Rz(angle_z) Ry(angle_y) Rx(angle_x), angles in
# degrees and in the order of a description (Z first). A node (i, j, k)
# lies at the origin plus R applied to (i dx, j dy, k dz).
.rotation <- function(angles) {
  a <- .three(angles) * pi / 180
  rz <- matrix(c(cos(a[1]), sin(a[1]), 0, -sin(a[1]), cos(a[1]), 0, 0, 0, 1), 3)
  ry <- matrix(c(cos(a[2]), 0, -sin(a[2]), 0, 1, 0, sin(a[2]), 0, cos(a[2])), 3)
  rx <- matrix(c(1, 0, 0, 0, cos(a[3]), sin(a[3]), 0, -sin(a[3]), cos(a[3])), 3)
  rz %*% ry %*% rx
}

# Three values per axis, the missing ones `fill`.
.three <- function(x, fill = 0) c(x, fill, fill, fill)[seq_len(3L)]

# Offsets from a grid's origin to node indices: the inverse rotation,
# divided by the mesh.
.index_map <- function(d) t(.rotation(d$angles)) / .three(d$dx, 1)

#' Describe a Db: Points or a Regular Grid
#'
#' Builds and checks the description of a `Db` (a set of samples with
#' coordinates, possibly laid out on a regular grid) that the functions
#' comparing or creating Files take. The same description is returned for a
#' server File by [FileCharacteristics()].
#'
#' Give either `coordinates` or `nx`. Functions that take a description also
#' accept a plain list with the same elements (see Value), which they check
#' the same way (a refusal names the element, as \samp{'db$nx'}), and a
#' raster or stars object. A grid's description holds no
#' coordinates: its nodes follow from its geometry, so that checking or
#' creating a File of \eqn{10^8} nodes costs no more than one of four.
#'
#' @param coordinates for a point Db: a numeric matrix (or data frame) with
#'   one row per sample and one column per axis (1 to 3), or a vector for one
#'   axis. `NA` marks an undefined coordinate. Or a `terra` `SpatRaster` or a
#'   `stars` object, whose nodes make a grid Db (as [WriteFile()] writes it:
#'   the origin at the centre of the first node, a rotated affine as the
#'   angle about Z).
#' @param nx for a grid Db: the number of nodes along each axis (1 to 3
#'   axes).
#' @param x0 grid origin, one finite value per axis; default 0.
#' @param dx grid mesh, one positive finite value per axis; default 1. Every
#'   node must lie within \eqn{10^{30}} of zero (the server reads larger
#'   coordinates as undefined), as must the coordinates of points.
#' @param angles grid rotation angles in degrees, one value per axis, between
#'   -360 and 360 (both excluded); default 0. The first is the rotation around
#'   Z (the one a 2-D grid uses), then around Y, then around X.
#' @return A list of class `"DbDescription"`: `ndim` (space dimension), `nech`
#'   (number of samples), `grid` (logical), `nx`, `x0`, `dx`, `angles` (one
#'   value per axis; zero for points) and `coordinates` (the matrix of a point
#'   Db, `NULL` for a grid or a File).
#' @seealso [DbCompatible()], [CreateFileForDb()]
#' @examples
#' DbDescription(nx = c(4, 3), x0 = c(100, 200), dx = c(10, 10))
#' pts <- DbDescription(coordinates = cbind(x = runif(10), y = runif(10)))
#' pts$nech
#' try(DbDescription(nx = c(4, 0)))
#' if (requireNamespace("terra", quietly = TRUE)) {
#'   DbDescription(terra::rast(nrows = 3, ncols = 4, xmin = 0, xmax = 40, ymin = 0, ymax = 30))
#' }
#' @export
DbDescription <- function(coordinates = NULL, nx = NULL, x0 = NULL, dx = NULL, angles = NULL) {
  if (.is_grid_object(coordinates)) {
    if (!is.null(nx) || !is.null(x0) || !is.null(dx) || !is.null(angles)) {
      .fail("coordinates",
            "is a raster, whose nodes make the description: give no 'nx', 'x0', 'dx' or 'angles'")
    }
    return(.grid_object(coordinates, values = FALSE)$geometry)
  }
  .build_description(coordinates, nx, x0, dx, angles)
}

# The checks and the description of DbDescription(); `prefix` names the
# list the elements came from ("db$"), so that a refusal names the
# argument the user gave.
.build_description <- function(coordinates, nx, x0, dx, angles, prefix = "") {
  arg <- function(name) paste0(prefix, name)
  if (is.null(coordinates) == is.null(nx)) {
    reason <- sprintf("give either '%s' (a point Db) or '%s' (a grid Db)",
                      arg("coordinates"), arg("nx"))
    .orvane_stop("usage_error", .user_call()$name, reason, message = reason)
  }
  if (!is.null(nx)) {
    if (!is.numeric(nx)) .fail(arg("nx"), sprintf("must be numeric, not %s", .type_of(nx)))
    ndim <- length(nx)
    if (ndim < 1L || ndim > 3L) {
      .fail(arg("nx"), sprintf("must hold 1 to 3 node counts, not %d", ndim))
    }
    if (anyNA(nx) || any(!is.finite(nx)) || any(nx != round(nx)) || any(nx < 1)) {
      .fail(arg("nx"), "must hold whole numbers of at least 1")
    }
    nech <- prod(nx)
    if (nech > .Machine$integer.max) {
      .fail(arg("nx"), sprintf("describes %s nodes, more than a File holds (at most 2^31 - 1)",
                               paste(format(nx, scientific = FALSE, trim = TRUE),
                                     collapse = " x ")))
    }
    x0 <- .check_axis_values(x0, arg("x0"), ndim, 0)
    dx <- .check_axis_values(dx, arg("dx"), ndim, 1, positive = TRUE)
    angles <- .check_axis_values(angles, arg("angles"), ndim, 0, limit = 360)
    # Coordinates above 1e30 are undefined to the server: every node must
    # stay below, whatever the rotation.
    if (any(abs(x0) > .undef_limit)) {
      .fail(arg("x0"), sprintf("must hold values of at most %g in size", .undef_limit))
    }
    if (max(abs(x0)) + sqrt(sum(((nx - 1) * dx)^2)) > .undef_limit) {
      .fail(arg("dx"), sprintf("takes the nodes beyond %g, which the server reads as undefined",
                               .undef_limit))
    }
    return(.new_description(ndim, as.integer(nech), TRUE, as.integer(nx), x0, dx, angles, NULL))
  }
  for (name in c("x0", "dx", "angles")) {
    if (!is.null(get(name))) .fail(arg(name), "describes a grid; a point Db has only 'coordinates'")
  }
  if (is.data.frame(coordinates)) {
    if (!all(vapply(coordinates, is.numeric, logical(1)))) {
      .fail(arg("coordinates"), "must hold numeric columns")
    }
    coordinates <- as.matrix(coordinates)
  }
  if (!is.numeric(coordinates)) {
    .fail(arg("coordinates"), sprintf("must be numeric, not %s", .type_of(coordinates)))
  }
  if (is.null(dim(coordinates))) coordinates <- matrix(coordinates, ncol = 1L)
  if (length(dim(coordinates)) != 2L) {
    .fail(arg("coordinates"), "must be a matrix with one column per axis")
  }
  ndim <- ncol(coordinates)
  nech <- nrow(coordinates)
  if (ndim < 1L || ndim > 3L) {
    .fail(arg("coordinates"), sprintf("must have 1 to 3 columns, not %d", ndim))
  }
  if (nech < 1L) .fail(arg("coordinates"), "must hold at least one sample")
  if (as.double(ndim) * nech > .Machine$integer.max) {
    .fail(arg("coordinates"), "holds too many values")
  }
  storage.mode(coordinates) <- "double"
  problem <- .Call("SValuesProblem", coordinates, PACKAGE = "orvanelink")
  if (problem == 1L || any(is.nan(coordinates))) {
    .fail(arg("coordinates"),
          "must not hold NaN or infinite values (NA marks an undefined coordinate)")
  }
  if (problem == 2L) {
    .fail(arg("coordinates"),
          sprintf("must not hold values above %g (the server reads them as undefined; use NA)",
                  .undef_limit))
  }
  dimnames(coordinates) <- list(NULL, .axes[seq_len(ndim)])
  zero <- rep(0, ndim)
  .new_description(ndim, as.integer(nech), FALSE, rep(0L, ndim), zero, zero, zero, coordinates)
}

# Accepts a DbDescription or a plain list of the same fields (also the
# "flag.grid" spelling of the bridge) and rebuilds it through the
# constructor, so that a hand-made or hand-edited list is checked as well.
.as_description <- function(db, arg = "db", need_coordinates = TRUE) {
  if (.is_grid_object(db)) return(DbDescription(db))
  if (!is.list(db)) {
    .fail(arg, sprintf("must be a Db description (see DbDescription()), not %s", .type_of(db)))
  }
  grid <- if (!is.null(db$grid)) db$grid else db[["flag.grid"]]
  if (is.null(grid)) .fail(arg, "must say whether it is a grid (element 'grid')")
  if (!(is.logical(grid) || is.numeric(grid)) || length(grid) != 1L || is.na(grid) ||
      !grid %in% c(0, 1)) {
    .fail(arg, "must have 'grid' TRUE or FALSE")
  }
  prefix <- paste0(arg, "$")
  if (grid) {
    if (is.null(db$nx)) .fail(arg, "describes a grid but has no 'nx'")
    out <- .build_description(NULL, db$nx, db$x0, db$dx, db$angles, prefix)
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
      if (length(coords) %% ndim != 0L) {
        .fail(arg, "has a number of coordinates that is not a multiple of 'ndim'")
      }
      coords <- matrix(coords, ncol = ndim)
    }
    out <- .build_description(coords, NULL, NULL, NULL, NULL, prefix)
  }
  for (field in c("ndim", "nech")) {
    given <- db[[field]]
    if (is.null(given)) next
    if (!is.numeric(given) || length(given) != 1L || is.na(given)) {
      .fail(sprintf("%s$%s", arg, field),
            sprintf("must be one number (its geometry gives %d)", out[[field]]))
    }
    if (given != out[[field]]) {
      .fail(arg, sprintf("has '%s' = %s where its geometry gives %d", field,
                         format(given), out[[field]]))
    }
  }
  out
}

# The eight Db arguments of the bridge, in its order. A grid's nodes follow
# from its geometry: no coordinates go with it, whatever its size.
.db_call_args <- function(d, coordinates = TRUE) {
  coor <- if (d$grid || !coordinates) numeric(0)
          else if (is.null(d$coordinates)) rep(0, d$ndim * d$nech) else as.double(d$coordinates)
  list(as.integer(d$ndim), as.integer(d$nech), as.integer(d$grid), as.integer(d$nx),
       as.double(d$x0), as.double(d$dx), as.double(d$angles), coor)
}

#' @rdname DbDescription
#' @param x a description.
#' @param ... ignored.
#' @export
print.DbDescription <- function(x, ...) {
  what <- if (is.null(x$type)) sprintf("%s Db", if (x$grid) "Grid" else "Point")
          else sprintf("%s File", switch(x$type, points = "Point", grid = "Grid",
                                         .capitalise(x$type)))
  lines <- if (!is.null(x$nlines) && x$nlines > 0L) sprintf(" in %d line%s", x$nlines,
                                                            if (x$nlines == 1L) "" else "s")
           else ""
  cat(sprintf("%s description: %d dimension%s, %d sample%s%s\n", what, x$ndim,
              if (x$ndim == 1L) "" else "s", x$nech, if (x$nech == 1L) "" else "s", lines))
  if (length(x$line_samples)) {
    cat(sprintf("  samples per line: %s%s\n", paste(x$line_samples, collapse = ", "),
                if (identical(x$type, "gravity lines"))
                  sprintf(" (a header sample each: %d data samples)",
                          x$nech - length(x$line_samples))
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
                        as.double(res$x0)[keep], as.double(res$dx)[keep],
                        as.double(res$angles)[keep], NULL)
  d$type <- .file_kind(type)
  d$nlines <- as.integer(res$nlines)
  d$line_samples <- as.integer(res$line.samples)
  d
}

#' Describe the Target's File
#'
#' Returns the description of the File the target holds: its dimension, its
#' number of samples and, for a grid, its geometry.
#'
#' @return A [DbDescription()] without coordinates (see [ReadCoordinates()]
#'   for those), with the kind of File and its lines as [DescribeFile()] gives
#'   them. Without a File in the target, an R error.
#' @seealso [DescribeFile()], which names the File.
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Grid3D")
#' FileCharacteristics()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
FileCharacteristics <- function() {
  res <- .orvane_call("describe the current File", "IDescribeFile", "", "", NULL, 0L)
  .file_description(res)
}

#' Describe a File Named by Its Path
#'
#' Makes a File the target's File and returns its description, to build a
#' `Db` that matches it. Nothing is created.
#'
#' @param file,study,directory names of the items; `NULL` for the target's
#'   item of that level.
#' @return A [DbDescription()] without coordinates, with three more elements:
#'   `type`, the kind of File (`"points"`, `"grid"`, `"gravity lines"` or
#'   `"core lines"`); `nlines`, its number of lines (0 for other Files);
#'   `line_samples`, the samples of each line (for a gravity-lines File the
#'   header sample that starts each line included, so that its data samples
#'   number `nech - nlines`). An unknown name is an R error.
#' @seealso [FileCharacteristics()], [CreateFileForDb()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' DescribeFile("Grid2D", "Demo", "Mining")
#' DescribeFile("Samples")
#' DescribeFile("Lines")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
DescribeFile <- function(file = NULL, study = NULL, directory = NULL) {
  fi <- .name_or_empty(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  res <- .orvane_call(sprintf("describe %s", .describe(file, "File")), "IDescribeFile",
                      st, dir, fi, 0L)
  .file_description(res)
}

#' Read the Coordinates of the Target's File
#'
#' Reads the coordinate variables of the File the target holds.
#'
#' The target's selection, if any, is applied: samples it leaves out come as
#' `NA` (see [ShowTarget()]). The coordinates of a grid File come in the
#' server's order (the last axis varies fastest), not in the order of a
#' `Db`.
#'
#' @return A numeric matrix with one row per sample and one column per
#'   coordinate variable (`x`, `y`, `z`). A File without coordinate
#'   variables, or no File in the target, is an R error.
#' @seealso [FileCharacteristics()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Samples")
#' xy <- ReadCoordinates()
#' head(xy)
#' DbCompatible(DbDescription(coordinates = xy))
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
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

#' Does a Db Fit the Target's File?
#'
#' Compares a Db description with the File the target holds.
#'
#' Both must have the same dimension, the same number of samples and the same
#' kind (points or grid). Grids must also have the same node counts, origins,
#' meshes and angles: a Db turned otherwise than the File does not fit it.
#' Reals agree when they differ by at most \eqn{10^{-9}} of their size (at
#' least 1), so that a geometry recomputed from a raster's extent fits its
#' File. The coordinates of points are not compared.
#'
#' When they differ a message reports both descriptions, its first line
#' naming the first difference ("... Characteristics: Different angle about
#' Z: 30 (Orvane File) and 0 (Db)"), and the target's File (with its
#' Selection and Variable) is cleared. The `.Call` entry point `SDbCompatible`
#' keeps its own rule: exact comparison, angles not compared.
#'
#' @param db a [DbDescription()], or a plain list with the same elements, or a
#'   `SpatRaster` or `stars` object (its nodes). The coordinates of a point Db
#'   may be left out.
#' @return `TRUE` when the Db fits, `FALSE` when it does not. Without a
#'   connection or a File in the target, and for an invalid description, an
#'   [orvane_error].
#' @seealso [CreateFileForDb()], [FileCharacteristics()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Grid2D")
#' DbCompatible(DbDescription(nx = c(5, 4), dx = c(25, 25)))
#' DbCompatible(DbDescription(nx = c(5, 4), dx = c(20, 25)))
#' ShowTarget()
#' # Grid3D is turned 30 degrees about Z: a Db must be too.
#' ListVariables("Demo", "Mining", "Grid3D")
#' DbCompatible(DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(10, 10, 5)))
#' ListVariables("Demo", "Mining", "Grid3D")
#' DbCompatible(DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(10, 10, 5),
#'                            angles = c(30, 0, 0)))
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
DbCompatible <- function(db) {
  d <- .as_description(db, need_coordinates = FALSE)
  # Points are compared by their counts: their coordinates stay here.
  a <- .db_call_args(d, coordinates = FALSE)
  run <- .native(.Call("IDbFits", a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]], a[[8]],
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

#' Create a File That Fits a Db
#'
#' Creates a File (a grid or a point set) with the geometry of a Db, ready to
#' receive its variables; or accepts an existing File that fits it. The File
#' becomes the target's File.
#'
#' A grid File is created from the geometry alone, whatever its number of
#' nodes. A creation that fails on the way (the File made, its rotation
#' refused) or is interrupted removes the File again; when that cannot be
#' done (the server is gone), the error says what may be left.
#'
#' @param db a [DbDescription()] of 2 or 3 dimensions (a point Db needs its
#'   coordinates), or a plain list with the same elements, or a `SpatRaster`
#'   or `stars` object (its nodes).
#' @param file name of the File.
#' @param study,directory names of the items; `NULL` for the target's item of
#'   that level.
#' @param allow_existing whether an existing File of that name is accepted;
#'   it must then fit the Db (see [DbCompatible()]; a grid must also be turned
#'   as the Db is).
#' @return `TRUE`, invisibly. An existing name (without `allow_existing`), an
#'   existing File that does not fit, or any other failure is an R error.
#' @seealso [CopyDbToOrvane()] to fill the File.
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' grid <- DbDescription(nx = c(10, 8), x0 = c(0, 0), dx = c(5, 5))
#' CreateFileForDb(grid, "Fine", "Demo", "Mining")
#' CopyDbToOrvane(seq_len(80), "Index", file = "Fine")
#' CreateFileForDb(grid, "Fine", allow_existing = TRUE)
#'
#' pts <- DbDescription(coordinates = cbind(c(1, 2, 3), c(4, 5, 6)))
#' CreateFileForDb(pts, "Three")
#' DescribeFile("Three")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
CreateFileForDb <- function(db, file, study = NULL, directory = NULL, allow_existing = FALSE) {
  d <- .as_description(db, need_coordinates = TRUE)
  fi <- .check_item_name(file, "file")
  st <- .name_or_empty(study, "study")
  dir <- .name_or_empty(directory, "directory")
  .check_flag(allow_existing, "allow_existing")
  if (d$ndim < 2L) {
    .fail("db", sprintf("has %d dimension; a server File has 2 or 3", d$ndim))
  }
  a <- .db_call_args(d)
  operation <- sprintf("create File '%s' for the Db in %s", fi, .describe(directory, "Directory"))
  .undoable({
    .orvane_call(operation, "ICreateFile", a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]],
                 a[[8]], fi, st, dir, as.integer(allow_existing))
    # An existing grid must also be turned as the Db is, as DbCompatible() says.
    if (allow_existing && d$grid) {
      run <- .native(.Call("IDbFits", a[[1]], a[[2]], a[[3]], a[[4]], a[[5]], a[[6]], a[[7]],
                           a[[8]], PACKAGE = "orvanelink"))
      if (inherits(run$value, "error") || .failed(run$value)) stop(.native_error(run, operation))
    }
  })
  invisible(TRUE)
}

.capitalise <- function(x) paste0(toupper(substring(x, 1, 1)), substring(x, 2))
