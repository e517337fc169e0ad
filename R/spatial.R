# Files as the spatial objects of sf, terra and stars. Those packages are
# suggested, not imported: each function checks for its own.

.need_package <- function(pkg, fun) {
  if (!requireNamespace(pkg, quietly = TRUE)) {
    reason <- sprintf("%s() needs the package '%s': install it (on Debian: r-cran-%s)", fun, pkg, pkg)
    .orvane_stop("usage_error", fun, reason, message = reason)
  }
}

.refuse <- function(fun, reason) .orvane_stop("usage_error", fun, reason, message = reason)

.need_grid <- function(d, file, fun) {
  if (!d$grid) .refuse(fun, sprintf("File '%s' holds %s, not a grid: use AsSf() or ReadFile()", file, d$type))
  if (d$ndim < 2L) .refuse(fun, sprintf("File '%s' is a %d-D grid", file, d$ndim))
}

# Layer values of a Db-ordered grid variable: rows from the north, as
# rasters keep them.
.north_up <- function(v, nx, ny) as.vector(matrix(v, nx, ny)[, ny:1])

.grid_values <- function(df) {
  d <- attr(df, "description")
  vals <- df[setdiff(names(df), d$coordinate_names)]
  lapply(vals, as.double)
}

#' Files as Spatial Objects of sf, terra and stars
#'
#' Read a File named by its path as a spatial object: the samples of a point
#' or line File as an `sf` object, a grid File as a `terra` `SpatRaster` or a
#' `stars` object. The path becomes the target.
#'
#' The objects carry no coordinate reference system: the server keeps none.
#' Their values are those of [ReadFile()]: `NA` where undefined, one column,
#' layer or attribute per macro item (`Simu.1`, \dots), selections as logical
#' columns (`AsSf`) or as 0/1 values (grids).
#'
#' * `AsSf()`: one POINT (POINT Z in 3-D) per sample of a point File, per data
#'   sample of a line File (with its `line` column). A grid is refused.
#' * `AsSpatRaster()`: a 2-D grid gives one layer per variable; a 3-D grid one
#'   layer per Z level of a single variable (named `Grade.z1`, `Grade.z2`,
#'   \dots, their levels in `terra::depth()`). Each node is the centre of its
#'   cell: the extent reaches half a mesh beyond the outer nodes. A rotated
#'   grid is refused, a SpatRaster having no rotation: use `AsStars()`.
#' * `AsStars()`: a 2-D or 3-D grid with its dimensions x and y (cells
#'   centred on the nodes, a rotation about Z as an affine transform) and, in
#'   3-D, z (the levels of the nodes). A 3-D grid turned about X or Y is
#'   refused.
#'
#' The packages \pkg{sf}, \pkg{terra} and \pkg{stars} are suggested, not
#' required: each function fails with an `orvane_usage_error` that names its
#' package when it is not installed.
#'
#' @param file name of the File, or a data frame that [ReadFile()] returned:
#'   the object is then made from it, without asking the server again (its
#'   `"description"` attribute says which columns are the coordinates;
#'   columns added since become attributes or layers too). `study`,
#'   `directory` and `selection` stay `NULL` with a data frame; a grid's data
#'   frame must hold every node.
#' @param study,directory names of the items; `NULL` for the target's item of
#'   that level.
#' @param variables,selection as for [ReadFile()]: the variables to take
#'   (`NULL` for all of them) and, for `AsSf`, a selection whose samples alone
#'   are kept.
#' @return An `sf`, `SpatRaster` or `stars` object.
#' @seealso [ReadFile()]; [WriteFile()] takes an `sf` object of points.
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' if (requireNamespace("sf", quietly = TRUE)) print(AsSf("Samples", "Demo", "Mining"))
#' if (requireNamespace("terra", quietly = TRUE)) print(AsSpatRaster("Grid2D"))
#' if (requireNamespace("stars", quietly = TRUE)) print(AsStars("Grid3D", "Grade"))
#' # A data frame read once, with a column computed in R, as points.
#' samples <- ReadFile("Samples", "Demo", "Mining")
#' samples$Ratio <- samples$Au / samples$Cu
#' if (requireNamespace("sf", quietly = TRUE)) print(AsSf(samples))
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
AsSf <- function(file, study = NULL, directory = NULL, variables = NULL, selection = NULL) {
  .need_package("sf", "AsSf")
  name <- .file_name_of(file)
  df <- .file_frame(file, study, directory, variables, selection, fun = "AsSf", check = function(d, wanted) {
    if (d$grid) .refuse("AsSf", sprintf("File '%s' is a grid: use AsSpatRaster() or AsStars()", name))
  })
  d <- attr(df, "description")
  out <- sf::st_as_sf(df, coords = d$coordinate_names, na.fail = FALSE)
  attr(out, "description") <- d
  out
}

#' @rdname AsSf
#' @export
AsSpatRaster <- function(file, variables = NULL, study = NULL, directory = NULL) {
  .need_package("terra", "AsSpatRaster")
  name <- .file_name_of(file)
  df <- .file_frame(file, study, directory, variables, NULL, fun = "AsSpatRaster", check = function(d, wanted) {
    .need_grid(d, name, "AsSpatRaster")
    if (any(d$angles != 0)) {
      .refuse("AsSpatRaster", sprintf("File '%s' is a rotated grid, which a SpatRaster cannot hold: use AsStars()", name))
    }
    items <- sum(d$variables$items[match(wanted, d$variables$name)])
    if (d$ndim == 3L && items != 1L) {
      .refuse("AsSpatRaster", sprintf(paste("File '%s' is a 3-D grid, whose layers are the Z levels of one variable:",
                                            "name one in 'variables' (not %d columns)"), name, items))
    }
  })
  d <- attr(df, "description")
  nx <- d$nx[1]
  ny <- d$nx[2]
  vals <- .grid_values(df)
  if (d$ndim == 3L) {
    nz <- d$nx[3]
    v <- vals[[1]]
    layers <- lapply(seq_len(nz), function(k) .north_up(v[(k - 1) * nx * ny + seq_len(nx * ny)], nx, ny))
    names(layers) <- sprintf("%s.z%d", names(vals), seq_len(nz))
  } else {
    layers <- lapply(vals, .north_up, nx, ny)
  }
  r <- terra::rast(nrows = ny, ncols = nx, nlyrs = max(1L, length(layers)),
                   xmin = d$x0[1] - d$dx[1] / 2, xmax = d$x0[1] + (nx - 0.5) * d$dx[1],
                   ymin = d$x0[2] - d$dx[2] / 2, ymax = d$x0[2] + (ny - 0.5) * d$dx[2], crs = "")
  if (length(layers)) {
    terra::values(r) <- do.call(cbind, layers)
    names(r) <- names(layers)
  }
  if (d$ndim == 3L) terra::depth(r) <- d$x0[3] + (seq_len(d$nx[3]) - 1) * d$dx[3]
  r
}

#' @rdname AsSf
#' @export
AsStars <- function(file, variables = NULL, study = NULL, directory = NULL) {
  .need_package("stars", "AsStars")
  name <- .file_name_of(file)
  df <- .file_frame(file, study, directory, variables, NULL, fun = "AsStars", check = function(d, wanted) {
    .need_grid(d, name, "AsStars")
    if (d$ndim == 3L && any(d$angles[2:3] != 0)) {
      .refuse("AsStars", sprintf("File '%s' is a grid tilted about X or Y, which stars cannot hold: use ReadFile()", name))
    }
  })
  d <- attr(df, "description")
  n <- c(d$nx, 1L)[1:3]
  arrays <- lapply(.grid_values(df), function(v) {
    a <- array(v, n)[, n[2]:1, , drop = FALSE]
    if (d$ndim == 2L) dim(a) <- n[1:2]
    a
  })
  # Node (ix, iy) lies at origin + ix * u + iy * v; rows run from the last
  # Y node down, and stars places cell corners, half a cell from the nodes.
  theta <- d$angles[1] * pi / 180
  u <- d$dx[1] * c(cos(theta), sin(theta))
  v <- d$dx[2] * c(-sin(theta), cos(theta))
  corner <- d$x0[1:2] + (n[2] - 0.5) * v - u / 2
  dims <- if (d$ndim == 2L) stars::st_dimensions(x = seq_len(n[1]), y = seq_len(n[2]))
          else stars::st_dimensions(x = seq_len(n[1]), y = seq_len(n[2]), z = seq_len(n[3]))
  dims$x$offset <- corner[1]
  dims$x$delta <- u[1]
  dims$y$offset <- corner[2]
  dims$y$delta <- -v[2]
  attr(dims, "raster")$affine <- c(-v[1], u[2])
  if (d$ndim == 3L) {
    # Z holds the levels of the nodes, as terra's depth does.
    dims$z$offset <- d$x0[3]
    dims$z$delta <- d$dx[3]
    dims$z$point <- TRUE
  }
  stars::st_as_stars(arrays, dimensions = dims)
}
