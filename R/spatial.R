# Files as the spatial objects of sf, terra and stars. Those packages are
# suggested, not imported: each function checks for its own.

.need_package <- function(pkg, fun) {
  if (!requireNamespace(pkg, quietly = TRUE)) {
    reason <- sprintf("%s() needs the package '%s': install it (on Debian: r-cran-%s)",
                      fun, pkg, pkg)
    .orvane_stop("usage_error", fun, reason, message = reason)
  }
}

.refuse <- function(fun, reason) .orvane_stop("usage_error", fun, reason, message = reason)

.need_grid <- function(d, file, fun) {
  if (!d$grid) {
    .refuse(fun,
            sprintf("'file' names File '%s', which holds %s, not a grid: use AsSf() or ReadFile()",
                    file, d$type))
  }
  if (d$ndim < 2L) .refuse(fun, sprintf("'file' names File '%s', a %d-D grid", file, d$ndim))
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
  df <- .file_frame(file, study, directory, variables, selection, fun = "AsSf",
                    check = function(d, wanted) {
    if (d$grid) {
      .refuse("AsSf",
              sprintf("'file' names File '%s', a grid: use AsSpatRaster() or AsStars()", name))
    }
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
  df <- .file_frame(file, study, directory, variables, NULL, fun = "AsSpatRaster",
                    check = function(d, wanted) {
    .need_grid(d, name, "AsSpatRaster")
    if (any(d$angles != 0)) {
      .refuse("AsSpatRaster", sprintf(
        paste("'file' names File '%s', a rotated grid, which a SpatRaster cannot hold:",
              "use AsStars()"), name))
    }
    items <- sum(d$variables$items[match(wanted, d$variables$name)])
    if (d$ndim == 3L && items != 1L) {
      .refuse("AsSpatRaster", sprintf(
        paste("'variables' must name one variable (not %d columns): File '%s' is a 3-D",
              "grid, whose layers are the Z levels of one variable"), items, name))
    }
  })
  d <- attr(df, "description")
  nx <- d$nx[1]
  ny <- d$nx[2]
  vals <- .grid_values(df)
  if (d$ndim == 3L) {
    nz <- d$nx[3]
    v <- vals[[1]]
    layers <- lapply(seq_len(nz), function(k) .north_up(v[(k - 1) * nx * ny + seq_len(nx * ny)],
                                                        nx, ny))
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
  df <- .file_frame(file, study, directory, variables, NULL, fun = "AsStars",
                    check = function(d, wanted) {
    .need_grid(d, name, "AsStars")
    if (d$ndim == 3L && any(d$angles[2:3] != 0)) {
      .refuse("AsStars", sprintf(
        paste("'file' names File '%s', a grid tilted about X or Y, which stars cannot hold:",
              "use ReadFile()"), name))
    }
  })
  d <- attr(df, "description")
  n <- .three(d$nx, 1L)
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

# ---- rasters and stars written back ------------------------------------------

.is_grid_object <- function(x) inherits(x, c("SpatRaster", "stars"))

# A SpatRaster or stars object as the grid description of its nodes (each
# node the centre of a cell: the origin is the first node's centre) and, with
# `values`, its values, one double vector per variable in Db order (X
# fastest, from the first node along each axis).
.grid_object <- function(x, values = TRUE) {
  if (inherits(x, "SpatRaster")) {
    .need_package("terra", "WriteFile")
    return(.raster_grid(x, values))
  }
  .need_package("stars", "WriteFile")
  .stars_grid(x, values)
}

# Layers named Stem.z1 to Stem.zn at regular depths are the Z levels of one
# variable, as AsSpatRaster() gives a 3-D grid; any other layer is a
# variable of a 2-D grid.
.raster_grid <- function(r, values) {
  nx <- terra::ncol(r)
  ny <- terra::nrow(r)
  res <- terra::res(r)
  e <- as.vector(terra::ext(r))
  layers <- names(r)
  nz <- length(layers)
  depth <- tryCatch(as.double(terra::depth(r)), error = function(e) rep(0, nz))
  stem <- unique(sub("\\.z[0-9]+$", "", layers))
  step <- if (nz > 1L) diff(depth) else 0
  levels <- nz > 1L && length(stem) == 1L &&
    identical(layers, sprintf("%s.z%d", stem, seq_len(nz))) &&
    length(depth) == nz && all(step > 0) && all(abs(step - mean(step)) <= 1e-6 * mean(step))
  x0 <- c(e[1] + res[1] / 2, e[3] + res[2] / 2)
  geometry <- if (levels) DbDescription(nx = c(nx, ny, nz), x0 = c(x0, depth[1]),
                                        dx = c(res, mean(step)))
              else DbDescription(nx = c(nx, ny), x0 = x0, dx = res)
  if (!values) return(list(geometry = geometry))
  v <- terra::values(r, mat = TRUE)
  cols <- lapply(seq_len(nz), function(k) {
    x <- .north_up(as.double(v[, k]), nx, ny)
    x[is.nan(x)] <- NA
    x
  })
  if (levels) {
    cols <- list(unlist(cols, use.names = FALSE))
    names(cols) <- stem
  } else {
    names(cols) <- layers
  }
  list(geometry = geometry, values = cols)
}

# A stars object's x and y dimensions, with their affine parameters, give
# the grid's X and Y axes (a rotated affine its angle about Z, meshes kept
# positive by reversing an axis where needed); a third dimension of regular
# levels gives Z.
.stars_grid <- function(s, values) {
  dims <- stars::st_dimensions(s)
  rast <- attr(dims, "raster")
  xy <- rast$dimensions
  if (isTRUE(rast$curvilinear)) {
    .fail("data", "is a curvilinear stars object, which is no regular grid")
  }
  other <- setdiff(names(dims), xy)
  if (length(other) > 1L) {
    .fail("data", sprintf("has the dimensions %s beside x and y: a grid has one more at most (Z)",
                          paste0("'", other, "'", collapse = ", ")))
  }
  regular <- function(d, name) {
    if (!is.null(d$values) || !is.finite(d$offset) || !is.finite(d$delta) || d$delta == 0) {
      .fail("data", sprintf("has the dimension '%s' without a regular step: it is no regular grid",
                            name))
    }
  }
  for (nm in c(xy, other)) regular(dims[[nm]], nm)
  n <- vapply(c(xy, other), function(nm) as.integer(dims[[nm]]$to - dims[[nm]]$from + 1L), 0L)
  a <- if (is.null(rast$affine)) c(0, 0) else rast$affine
  a[is.na(a)] <- 0
  dxd <- dims[[xy[1]]]
  dyd <- dims[[xy[2]]]
  u <- c(dxd$delta, a[2])   # from one column to the next
  w <- c(a[1], dyd$delta)   # from one row to the next
  if (abs(sum(u * w)) > 1e-9 * sqrt(sum(u^2) * sum(w^2))) {
    .fail("data", "is a sheared stars raster, whose rows and columns are not square to each other")
  }
  # Cell centres: column i, row j (from 0) at corner + (i + 1/2) u + (j + 1/2) w.
  corner <- c(dxd$offset, dyd$offset) + (dxd$from - 1) * u + (dyd$from - 1) * w
  axis_aligned <- all(a == 0)
  flip_x <- axis_aligned && u[1] < 0
  flip_y <- if (axis_aligned) w[2] < 0 else u[1] * w[2] - u[2] * w[1] < 0
  i0 <- if (flip_x) n[1] - 1 else 0
  j0 <- if (flip_y) n[2] - 1 else 0
  x0 <- corner + (i0 + 0.5) * u + (j0 + 0.5) * w
  angle <- if (axis_aligned) 0 else atan2(u[2], u[1]) * 180 / pi
  mesh <- c(sqrt(sum(u^2)), sqrt(sum(w^2)))
  flip_z <- FALSE
  if (length(other)) {
    zd <- dims[[other]]
    level <- function(k) zd$offset +
      (zd$from - 1 + k + if (isFALSE(zd$point)) 0.5 else 0) * zd$delta
    flip_z <- zd$delta < 0
    geometry <- DbDescription(nx = n, x0 = c(x0, level(if (flip_z) n[3] - 1 else 0)),
                              dx = c(mesh, abs(zd$delta)), angles = c(angle, 0, 0))
  } else {
    geometry <- DbDescription(nx = n, x0 = x0, dx = mesh, angles = c(angle, 0))
  }
  if (!values) return(list(geometry = geometry))
  cols <- lapply(seq_along(s), function(k) {
    v <- s[[k]]
    if (is.factor(v) || is.character(v)) .fail(sprintf("data$%s", names(s)[k]), "is not numeric")
    v <- array(as.double(unclass(v)), dim(v))
    v <- aperm(v, match(c(xy, other), names(dims)))
    dim(v) <- .three(dim(v), 1L)
    if (flip_x) v <- v[rev(seq_len(dim(v)[1])), , , drop = FALSE]
    if (flip_y) v <- v[, rev(seq_len(dim(v)[2])), , drop = FALSE]
    if (flip_z) v <- v[, , rev(seq_len(dim(v)[3])), drop = FALSE]
    v <- as.vector(v)
    v[is.nan(v)] <- NA
    v
  })
  names(cols) <- names(s)
  list(geometry = geometry, values = cols)
}
