# Whole Files as data frames and spatial objects, against the reference
# server: what is written reads back equal, grid nodes sit where the
# geometry puts them, line Files keep their headers, refusals change nothing.

skip_if_not(orv_have_server())

without_description <- function(df) `attr<-`(df, "description", NULL)

test_that("a data frame written into a File reads back equal: NA, units, selections, macro items", {
  local_orvane()
  au <- structure(c(1.5, NA, 2, 0.25), units = "g/t")
  grid <- without_description(ReadFile("Grid3D", "Demo", "Mining"))
  grid[c("Simu.1", "Simu.2", "Simu.3")] <- lapply(grid[c("Simu.1", "Simu.2", "Simu.3")], `-`)
  grid$Rich <- grid$Grade > 1.5 & !is.na(grid$Grade)
  cases <- list(
    new_points = list("New", data.frame(X = c(1, 2, 3, 4), Y = c(4, 5, 6, 7), Au = au,
                                        Rich = c(TRUE, FALSE, TRUE, TRUE), Simu.1 = 1:4 + 0.5,
                                        Simu.2 = 4:1 + 0.25, Cu.1 = 0:3 + 0)),
    new_points_3d = list("New3", data.frame(X = c(1, 2, 3, 4), Y = c(4, 3, 2, 1),
                                            Z = c(-1, -2, NA, -4), Au = au)),
    grid_overwritten = list("Grid3D", grid)
  )
  for (name in names(cases)) {
    file <- cases[[name]][[1]]
    data <- cases[[name]][[2]]
    WriteFile(data, file, overwrite = TRUE)
    expect_identical(without_description(ReadFile(file)), data, label = name)
  }
  expect_identical(ListVariables(file = "New"), c("Au", "Rich", "Simu[xxxxx]", "Cu.1"))
  # Read under a selection: the rows it selects, the units kept.
  picked <- cases$new_points[[2]][c(TRUE, FALSE, TRUE, TRUE), ]
  attr(picked$Au, "units") <- "g/t"
  expect_identical(without_description(ReadFile("New", selection = "Rich")), picked)
  # An sf object of points makes a File as its coordinates and columns do.
  skip_if_not_installed("sf")
  WriteFile(AsSf("New"), "FromSf")
  expect_identical(without_description(ReadFile("FromSf")), cases$new_points[[2]])
})

test_that("grid nodes are the origin plus the rotated mesh, X fastest", {
  local_orvane()
  cases <- list(
    # Turned a quarter about Z: the X axis points north, the Y axis west.
    rotated_2d = list(DbDescription(nx = c(3, 2), x0 = c(10, 20), dx = c(2, 1), angles = c(90, 0)),
                      cbind(X = c(10, 10, 10, 9, 9, 9), Y = c(20, 22, 24, 20, 22, 24))),
    unrotated_3d = list(DbDescription(nx = c(2, 2, 2), x0 = c(1, 2, 3), dx = c(1, 10, 100)),
                        cbind(X = rep(1:2, 4), Y = rep(c(2, 2, 12, 12), 2),
                              Z = rep(c(3, 103), each = 4)))
  )
  for (name in names(cases)) {
    CreateFileForDb(cases[[name]][[1]], name, "Demo", "Mining")
    expect_equal(as.matrix(ReadFile(name)), cases[[name]][[2]], tolerance = 1e-12, label = name)
  }
  # The server places the nodes of its own rotated 3-D grid the same way.
  server <- orv_call("IReadFile", "Demo", "Mining", "Grid3D", c("X", "Y", "Z"),
                     list(NULL, NULL, NULL))$values
  expect_equal(unname(as.matrix(ReadFile("Grid3D")[c("X", "Y", "Z")])), do.call(cbind, server))
})

test_that("one progress bar covers every variable of a call, from its start to its end", {
  local_orvane()
  withr::defer(orv_call("STestProgress", FALSE))
  cases <- list( # the call, and the values it moves in all
    read_file = list(function() ReadFile("Grid3D", "Demo", "Mining"), 4 * 24),
    write_file = list(function() WriteFile(data.frame(A = 1:12 + 0, B.1 = 1:12 + 0, B.2 = 1:12 + 0),
                                           "Samples"), 3 * 12),
    read_macro = list(function() CopyOrvaneToDb("Simu[xxxxx]", file = "Grid3D"), 3 * 24))
  for (name in names(cases)) {
    orv_call("STestProgress", TRUE)
    cases[[name]][[1]]()
    total <- cases[[name]][[2]]
    # The macro indices of a description come as a transfer of their own.
    seen <- orv_call("STestProgress", FALSE)
    seen <- seen[seen[, 2] != 3, , drop = FALSE]
    expect_true(all(seen[, 2] == total), label = name)
    expect_equal(sum(seen[, 1] <= 0), 1, label = paste(name, "starts"))
    expect_equal(seen[nrow(seen), ], c(total, total), label = paste(name, "ends"))
    expect_false(is.unsorted(seen[, 1]), label = name)
  }
})

test_that(paste("a whole File costs its description, then two requests per variable read or",
                "written over"), {
  local_request_trace()
  # The record shows the requests of each call by keyword: the description
  # (the path: three lists, three Sets, the File's; the variable list, a Set
  # and an info per variable, and a macro's indices), then two requests per
  # variable read or written over and one selection. No path nor description
  # is asked twice, but writing over lists the File first, which sets the
  # path that far once more.
  cases <- c(
    points = "s <- ReadFile('Samples', 'Demo', 'Mining')",
    grid_with_macro = "invisible(ReadFile('Grid3D'))",
    written_over = "WriteFile(transform(s['Cu'], Cu = Cu * 2), 'Samples', overwrite = TRUE)")
  lines <- unlist(lapply(names(cases), function(name) c(
    traced_lines(cases[[name]]), "kw <- table(sent)",
    sprintf("emit('%s', paste(names(kw), kw, sep = '=', collapse = ' '))", name))))
  out <- dialogue(lines, project = orv_project_copy())
  orv_expect_record(paste0(names(cases), ": ", vapply(names(cases), orv_result, "", out = out)),
                    "files-requests")
})

test_that("a line File takes its data samples alone and keeps them behind the line headers", {
  # The record shows, for a server of each version, the File's lines, G2 as
  # read (NA at each header) and the lines and G3 as ReadFile() gives them.
  rec <- unlist(lapply(c(1300030L, 800000L), function(version) {
    local_orvane(version = version)
    d <- DescribeFile("Lines", "Demo", "Mining")
    CopyDbToOrvane(as.double(1:9), "G2", file = "Lines")
    WriteFile(data.frame(G3 = 9:1 + 0.5), "Lines")
    c(labelled(paste("version", version), unclass(d)[c("type", "nlines", "line_samples")]),
      labelled("G2", CopyOrvaneToDb("G2")),
      labelled("read", as.list(ReadFile("Lines", variables = c("G2", "G3"))[c("line", "G3")])))
  }))
  orv_expect_record(rec, "files-lines")
})

test_that("rows are placed at the samples their coordinates name, in any order and any case", {
  # The native placement names the row refused, the row before it and their sample.
  expect_identical(orv_call("SPlaceOnSamples", list(c(5, 7, 5)), list(c(7, 5)), 0.1)[-5],
                   list(order = 2:1, row = 3L, other = 1L, sample = 2L))
  for (bad in list(list(5:7), list(c(5, 7), 1), list())) {
    said <- orv_console(try(orv_call("SPlaceOnSamples", bad, list(7), 0.1), silent = TRUE))
    expect_match(said$lines, "The rows' coordinates must be (double vectors|a list of 1 to 3)")
  }
  local_orvane()
  ListFiles("Demo", "Mining")
  grid <- transform(without_description(ReadFile("Grid2D")), V = seq_len(20) / 4)
  rotated <- transform(without_description(ReadFile("Grid3D", variables = "Grade")), V = 1:24 / 8)
  pts <- transform(without_description(ReadFile("Samples", variables = "Au")), V = 1:12 / 2)
  line <- transform(without_description(ReadFile("Lines")), V = seq_len(9) + 0.5)
  lower <- setNames(grid[20:1, c("X", "Y", "V")], c("x", "y", "V"))
  WriteFile(data.frame(X = c(1, 1, 2), Y = c(1, 1, 2), W = 0), "Twice")
  WriteFile(data.frame(X = 1:3, Y = 5, W = 0), "Flat")
  cases <- list( # File, rows to write, the values expected in the File's order
    grid_shuffled = list("Grid2D", grid[c(7, 1, 20:8, 2:6), c("X", "Y", "V")], grid$V),
    grid_y_fastest = list("Grid2D", grid[order(grid$X, grid$Y), c("X", "Y", "V")], grid$V),
    grid_lower_case = list("Grid2D", lower, grid$V),
    rotated_3d_shuffled = list("Grid3D", rotated[24:1, c("X", "Y", "Z", "V")], rotated$V),
    points_reversed = list("Samples", pts[12:1, c("X", "Y", "V")], pts$V),
    # Most of these land in the next cell of the search, a tolerance wide.
    points_a_rounding_apart = list(
      "Samples", transform(pts, X = X + 0.9e-9 * diff(range(X)))[, c("X", "Y", "V")], pts$V),
    # Rows at one place take its samples in their order.
    points_at_one_place = list("Twice", data.frame(X = c(2, 1, 1), Y = c(2, 1, 1), V = c(3, 1, 2)),
                               1:3 + 0),
    # An axis of one value still has a tolerance, from the value's size.
    flat_a_rounding_apart = list("Flat", data.frame(X = 3:1, Y = 5 + 1e-12, V = 3:1 + 0), 1:3 + 0),
    line_data_samples_reversed = list("Lines", line[9:1, c("line", "X", "Y", "V")], line$V)
  )
  for (name in names(cases)) {
    file <- cases[[name]][[1]]
    WriteFile(cases[[name]][[2]], file, overwrite = TRUE)
    expect_identical(as.vector(ReadFile(file)$V), cases[[name]][[3]], label = name)
    expect_false(any(c("x", "y") %in% ListVariables()), label = name)
  }
  skip_if_not_installed("sf")
  sf_pts <- AsSf("Samples")
  sf_pts$V <- -pts$V
  WriteFile(sf_pts[12:1, "V"], "Samples", overwrite = TRUE)
  expect_identical(ReadFile("Samples")$V, -pts$V)
})

test_that("a data frame of a complete regular lattice makes a grid File with grid = TRUE", {
  local_orvane()
  lattice <- expand.grid(X = seq(5, 45, by = 10), Y = c(-1, 0.5, 2), Z = c(0, 0.1 * 3))
  lattice$V <- seq_len(nrow(lattice)) + 0.25
  WriteFile(lattice[c(30:16, 1:15), ], "Lattice", "Demo", "Mining", grid = TRUE)
  expect_identical(ReadFile("Lattice")$V, lattice$V)
  # A single level along an axis is a grid one node thick there, of mesh 1.
  WriteFile(lattice[lattice$Z == 0, ], "Layer", grid = TRUE)
  orv_expect_record(vapply(c("Lattice", "Layer"), function(f) {
    labelled(f, unclass(DescribeFile(f)))
  }, "", USE.NAMES = FALSE), "files-lattices")
})

test_that("refused writes change nothing on the server", {
  project <- local_orvane()
  ListFiles("Demo", "Mining")
  before <- orv_project_sum(project)
  grid <- ReadFile("Grid2D")
  pts <- ReadFile("Samples")
  lattice <- expand.grid(X = c(0, 10, 20, 30), Y = c(0, 5, 10), V = 1)
  # Each call is refused and changes nothing; the records show each refusal.
  refuse <- function(cases, record) {
    said <- character(0)
    for (name in names(cases)) {
      err <- expect_error(eval(cases[[name]]), label = name)
      expect_identical(orv_project_sum(project), before, label = name)
      said <- c(said, paste0(name, ": ", conditionMessage(err)))
    }
    orv_expect_record(said, record)
  }
  # The bridge's own refusals of what R never hands it, as it says them.
  bridge <- function(...) substitute(stop(orv_console(orv_call("IWriteFile", "Demo", "Mining",
                                                               "Samples", ...))$lines))
  refuse(record = "files-refusals", list(
    existing_variable = quote(WriteFile(data.frame(Au2 = 1:12 + 0, Au = 1), "Samples")),
    sample_count = quote(WriteFile(data.frame(Au2 = 1:11 + 0), "Samples")),
    line_sample_count = quote(CopyDbToOrvane(as.double(1:10), "G2", file = "Lines")),
    grid_shifted = quote(WriteFile(transform(grid, X = X + 1000, V = 1), "Grid2D")),
    grid_off_mesh = quote(WriteFile(transform(grid, X = X + c(0, 0.01, rep(0, 18)), V = 1),
                                    "Grid2D")),
    points_shifted = quote(WriteFile(transform(pts, Y = Y + c(rep(0, 11), 1e-3), V = 1),
                                     "Samples")),
    points_na = quote(WriteFile(transform(pts, Y = replace(Y, 12, NA), V = 1), "Samples")),
    two_rows_on_one_node = quote(WriteFile(transform(grid, X = replace(X, 2, X[1]), V = 1),
                                           "Grid2D")),
    two_rows_on_one_sample = quote(WriteFile(transform(pts, X = replace(X, 5, X[3]),
                                                       Y = replace(Y, 5, Y[3]), V = 1), "Samples")),
    one_coordinate_of_two = quote(WriteFile(data.frame(x = grid$X, V = 1), "Grid2D")),
    grid_into_points = quote(WriteFile(within(grid, V <- 1), "Samples", grid = TRUE)),
    seven_levels = quote(WriteFile(data.frame(X = c(0:5, 6.5), Y = 0, V = 1), "New", grid = TRUE)),
    # Axes of unlike sizes, so that X and Y mixed up in the node named show.
    lattice_missing_nodes = quote(WriteFile(lattice[-c(2, 5, 12), ], "New", grid = TRUE)),
    slash_column = quote(WriteFile(data.frame(X = 1, Y = 2, `a/b c` = 1, check.names = FALSE),
                                   "New")),
    coordinate_named_column = quote(WriteFile(data.frame(FzV = 1:2, X = 1:2, Y = 3:4), "New",
                                              coordinates = c("FzV", "X"))),
    bridge_existing = quote(stopifnot(orv_call("IWriteFile", "Demo", "Mining", "Samples",
                                               c("Au2", "Au"), c("", ""), c(32L, 32L), c(1L, 1L),
                                               list(1:12 + 0, 1:12 + 0), 0L)$error == 0)),
    bridge_text_values = bridge("V", "", 32L, 1L, list(letters[1:12]), 0L),
    bridge_items_of_a_plain_name = bridge("V", "", 32L, 2L, list(1:24 + 0), 0L),
    bridge_units_of_another_count = bridge(c("V", "W"), "", c(32L, 32L), 1:2, list(1, 2), 0L)))
  if (requireNamespace("terra", quietly = TRUE)) {
    raster <- AsSpatRaster("Grid2D")
    refuse(record = "files-refusals-raster", list(
      raster_into_points = quote(WriteFile(raster, "Samples")),
      raster_shifted = quote(WriteFile(terra::shift(raster, dx = 1), "Grid2D", overwrite = TRUE)),
      raster_cropped = quote(WriteFile(raster[1:3, , drop = FALSE], "Grid2D", overwrite = TRUE))))
  }
})

# A served copy of the sample project with an unrotated 3-D grid U3 (V one
# value short), for the spatial packages.
local_spatial <- function(env) {
  for (pkg in c("sf", "terra", "stars")) skip_if_not_installed(pkg)
  local_orvane(env)
  CreateFileForDb(DbDescription(nx = c(3, 2, 2), x0 = c(1, 2, 3), dx = c(1, 1, 1)), "U3",
                  "Demo", "Mining")
  CopyDbToOrvane(c(1:11, NA) + 0.5, "V", file = "U3")
}

test_that(paste("rasters and stars are written as grids that read back equal,",
                "into new and existing Files"), {
  local_spatial(environment())
  twice_3d <- function(x) {
    y <- x * 2
    terra::depth(y) <- terra::depth(x)
    y
  }
  cases <- list( # the object as read, its File, the object written back into that File
    terra_2d = list(function() AsSpatRaster("Grid2D"), "Grid2D", function(x) x * 2),
    terra_3d = list(function() AsSpatRaster("U3", "V"), "U3", twice_3d),
    stars_2d = list(function() AsStars("Grid2D"), "Grid2D", function(x) x * 2),
    stars_rotated_3d = list(function() AsStars("Grid3D"), "Grid3D", function(x) x * 2)
  )
  values_of <- function(x) if (inherits(x, "SpatRaster")) terra::values(x)
                           else as.data.frame(x)[names(x)]
  read_as <- function(x, file) if (inherits(x, "SpatRaster")) AsSpatRaster(file) else AsStars(file)
  geometry <- function(d) unclass(d)[c("ndim", "nx", "x0", "dx", "angles")]
  for (name in names(cases)) {
    from <- cases[[name]][[1]]()
    WriteFile(from, name, "Demo", "Mining")
    expect_equal(values_of(read_as(from, name)), values_of(from), label = name)
    expect_equal(geometry(DescribeFile(name)), geometry(DbDescription(from)), label = name)
    file <- cases[[name]][[2]]
    WriteFile(cases[[name]][[3]](from), file, overwrite = TRUE)
    expect_equal(values_of(read_as(from, file)), values_of(from) * 2, label = name)
  }
  # Axes that run backwards are stored in the File's order, from the lowest node.
  flipped <- stars::st_as_stars(list(V = array(as.double(1:12), c(3, 2, 2))),
    dimensions = stars::st_dimensions(x = c(3, 2, 1), y = c(1, 2), z = c(5, 4)))
  WriteFile(flipped, "Flipped")
  expect_identical(ReadFile("Flipped")$V, c(9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4))
  expect_equal(DescribeFile("Flipped")$x0, c(0.5, 1.5, 3.5))
  # Into a File turned a quarter turn, each cell is placed by its coordinates.
  CreateFileForDb(DbDescription(nx = 2:3, x0 = c(2.5, 0.5), dx = c(1, 1), angles = c(90, 0)), "F90")
  WriteFile(terra::rast(nrows = 2, ncols = 3, xmin = 0, xmax = 3, ymin = 0, ymax = 2, vals = 1:6,
                        names = "V"), "F90")
  expect_identical(ReadFile("F90")$V, c(6, 3, 5, 2, 4, 1))
  # Layers at one depth are the variables of a 2-D grid, not its levels.
  flat <- terra::rast(nrows = 2, ncols = 3, nlyrs = 2, names = c("V.z1", "V.z2"), vals = 1:12)
  terra::depth(flat) <- c(5, 5)
  expect_identical(DbDescription(flat)$nx, c(3L, 2L))
})

test_that("spatial objects have the extent, resolution and values of the File", {
  local_spatial(environment())
  # Values keyed by the coordinates they sit at.
  keyed <- function(x, y, z, v) {
    k <- sprintf("%.6f %.6f %.6f", x, y, z)
    stats::setNames(v, k)[order(k)]
  }
  nodes <- function(file, var) {
    f <- ReadFile(file)
    keyed(f$X, f$Y, if (is.null(f$Z)) 0 else f$Z, f[[var]])
  }
  cases <- list(
    sf_lines = function() {
      s <- AsSf("Lines")
      xy <- sf::st_coordinates(s)
      list(keyed(xy[, "X"], xy[, "Y"], 0, s$Gravity), nodes("Lines", "Gravity"),
           as.vector(sf::st_bbox(s)), c(0, 0, 220, 100))
    },
    terra_3d = function() {
      r <- AsSpatRaster("U3", "V")
      a <- terra::as.data.frame(r, xy = TRUE, na.rm = FALSE)
      list(keyed(a$x, a$y, rep(terra::depth(r), each = nrow(a)), c(a$V.z1, a$V.z2)),
           nodes("U3", "V"), c(unname(as.vector(terra::ext(r))), terra::res(r)),
           c(0.5, 3.5, 1.5, 3.5, 1, 1))
    },
    # Cells of 10 x 10 turned 30 degrees about (100, 200): the corners of the
    # outer cells bound the box.
    stars_rotated_3d = function() {
      s <- AsStars("Grid3D")
      a <- as.data.frame(s)
      z <- stars::st_get_dimension_values(s, "z")
      list(keyed(a$x, a$y, rep(z, each = 12), a$Grade), nodes("Grid3D", "Grade"),
           as.vector(sf::st_bbox(s)), c(100 - 2.5 * sqrt(3) - 12.5, 200 - 2.5 - 2.5 * sqrt(3),
                                        100 + 17.5 * sqrt(3) + 2.5, 200 + 17.5 + 12.5 * sqrt(3)))
    }
  )
  for (name in names(cases)) {
    got <- cases[[name]]()
    expect_equal(got[[1]], got[[2]], label = name)
    expect_equal(got[[3]], got[[4]], label = paste(name, "extent"))
  }
  expect_error(AsSpatRaster("Grid3D"), "AsStars()", fixed = TRUE, class = "orvane_usage_error")
})

test_that("a data frame from ReadFile() makes the object its File makes, without the server", {
  local_spatial(environment())
  CopyDbToOrvane(1:12 + 0, "W", file = "U3")
  frames <- list(Lines = ReadFile("Lines"), Grid2D = ReadFile("Grid2D"), U3 = ReadFile("U3"),
                 Grid3D = ReadFile("Grid3D"))
  same <- list(
    sf_lines = list(AsSf("Lines"), function() AsSf(frames$Lines)),
    terra_2d = list(terra::values(AsSpatRaster("Grid2D")),
                    function() terra::values(AsSpatRaster(frames$Grid2D))),
    terra_3d_one = list(terra::values(AsSpatRaster("U3", "V")),
                        function() terra::values(AsSpatRaster(frames$U3, "V"))),
    stars_3d = list(AsStars("Grid3D"), function() AsStars(frames$Grid3D))
  )
  DisconnectOrvane()
  for (name in names(same)) expect_equal(same[[name]][[2]](), same[[name]][[1]], label = name)
  refused <- list(
    no_description = quote(AsSf(without_description(frames$Lines))),
    with_a_study = quote(AsSf(frames$Lines, study = "Demo")),
    grid_missing_nodes = quote(AsStars(`attr<-`(frames$Grid3D[1:5, ], "description",
                                                attr(frames$Grid3D, "description")))),
    a_grid_as_points = quote(AsSf(frames$Grid2D)),
    three_d_two_variables = quote(AsSpatRaster(frames$U3)),
    read_again = quote(ReadFile(frames$Lines))
  )
  for (name in names(refused)) {
    expect_error(eval(refused[[name]]), class = "orvane_usage_error", label = name)
  }
})
