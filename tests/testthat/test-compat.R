# Whether a Db fits the current File, the report of a mismatch, the File
# descriptions, the coordinates, and Files created for a Db.

skip_if_not(orv_have_server())

grid3d <- list(ndim = 3L, nech = 24L, grid = 1L, nx = c(4L, 3L, 2L), x0 = c(100, 200, 0),
               dx = c(10, 10, 5), angle = c(30, 0, 0), coor = NULL)

test_that(paste("File descriptions, whether a Db fits them (counts for points; nodes, origins and",
                "meshes, angles for grids), the mismatch report, and Files created for a Db"), {
  project <- orv_project_copy()
  orv_connect(project)
  # Descriptions, reports, targets and coordinates read go into a record; a
  # failed description's counts are whatever the bridge held before.
  failed <- c("x0", "dx", "nx", "angles", "error")
  rec <- c(labelled("no File yet", orv_call("SFileCharacteristics")[failed]),
           labelled("Samples", describe_file("Samples")))
  expect_identical(orv_call("SFileCharacteristics"), describe_file("Samples"))
  rec <- c(rec, labelled("Grid3D", describe_file("Grid3D")),
           labelled("Grid3D, R's own", orv_call("IDescribeFile", "Demo", "Mining", "Grid3D", 1L)),
           labelled("Nowhere", describe_file("Nowhere")[failed]))

  points <- list(ndim = 2L, nech = 12L, grid = 0L, coor = as.numeric(1:24) * 1000)
  cases <- list( # File, Db, error
    list("Samples", points, 0L),
    list("Samples", modifyList(points, list(nech = 11L, coor = as.numeric(1:22))), 1L),
    list("Grid3D", grid3d, 0L),
    list("Grid3D", modifyList(grid3d, list(angle = c(0, 45, NaN))), 0L),
    list("Grid3D", modifyList(grid3d, list(grid = 0L, coor = rep(0, 72))), 1L),
    list("Grid3D", modifyList(grid3d, list(x0 = c(100, 200, 1e-9))), 1L),
    list("Grid3D", modifyList(grid3d, list(dx = c(10, 10 + 1e-12, 5))), 1L),
    list("Grid3D", modifyList(grid3d, list(nx = c(4L, 3L, 3L))), 1L),
    list("Grid3D", modifyList(grid3d, list(x0 = c(NaN, 200, 0))), 1L),
    list("Grid3D", modifyList(grid3d, list(grid = 2L)), 1L))
  for (i in seq_along(cases)) {
    describe_file(cases[[i]][[1]])
    expect_equal(compatible(cases[[i]][[2]]), cases[[i]][[3]], info = i)
    # A mismatch clears the File: the next check has none to compare.
    expect_equal(orv_call("SFileCharacteristics")$error, cases[[i]][[3]], info = i)
  }
  # The mismatch report, and a dimension above 3 refused before any request.
  check <- function(ndim, x0) {
    orv_console(orv_call("SDbCompatible", ndim, 24L, 1L, c(4L, 3L, 2L), x0, c(10, 10, 5),
                         c(0, 0, 0), NULL))
  }
  describe_file("Grid3D")
  # Refused whether connected or not, the target staying as it was.
  r <- check(4L, c(100, 200, 0, 0))
  rec <- c(rec, labelled("dimension 4, connected", r$value), r$lines, target_lines())
  r <- orv_console(orv_call("IDbFits", 4L, 24L, 0L, NULL, NULL, NULL, NULL, NULL))
  rec <- c(rec, labelled("points of dimension 4 fitted", r$value), r$lines, target_lines())
  r <- check(3L, c(100, 200 + 1e-9, 0))
  rec <- c(rec, labelled("Y origin 1e-9 apart", r$value), r$lines)
  # After the report, File, Selection and Variable are undefined.
  rec <- c(rec, target_lines())
  # Files created for a Db or accepted when they fit, and their coordinates.
  g2 <- list(ndim = 2L, nech = 6L, grid = 1L, nx = c(3L, 2L), x0 = c(5, -5), dx = c(2, 0.5),
             angle = c(15, 0), coor = NULL)
  expect_equal(create_file(g2, "G2"), 0L)
  rec <- c(rec, labelled("G2", describe_file("G2")))
  expect_equal(c(create_file(g2, "G2"), create_file(g2, "G2", 1L),
                 create_file(modifyList(g2, list(nx = c(3L, 3L), nech = 9L)), "G2", 1L),
                 create_file(modifyList(g2, list(ndim = 4L)), "G4")), c(1L, 0L, 1L, 1L))
  expect_false("G4" %in% orv_call("IGetFileList", "Demo", "Mining", "")$FileList)

  # A point File of dimension 3; an undefined coordinate comes back as
  # 1.234e30, a NaN as NaN, in list order X, Y, Z.
  coor <- c(1, NA, 3, 10, NaN, 30, 100, 200, 300)
  expect_equal(create_file(list(ndim = 3L, nech = 3L, grid = 0L, coor = coor), "P3"), 0L)
  describe_file("P3")
  rec <- c(rec, labelled("P3 coordinates", orv_call("SReadCoordinates")))
  # A Db of one coordinate is a File of two, the second all zero.
  expect_equal(create_file(list(ndim = 1L, nech = 5000L, grid = 0L, coor = 5000:1 + 0.5), "P1"), 0L)
  describe_file("P1")
  expect_identical(orv_call("SReadCoordinates")$tab, c(5000:1 + 0.5, numeric(5000)))
  # A File of no sample has no coordinates to send, and reads as no row.
  expect_equal(create_file(list(ndim = 3L, nech = 0L, grid = 0L, coor = numeric(0)), "P0"), 0L)
  describe_file("P0")
  rec <- c(rec, labelled("P0 coordinates", orv_call("SReadCoordinates")))
  orv_expect_record(rec, "compat-files")
  expect_identical(dim(ReadFile("P0", "Demo", "Mining")), c(0L, 3L))
  describe_file("Samples")
  expect_identical(orv_call("SReadCoordinates")$tab,
                   c(stored_values(project, "Samples", "X"),
                     stored_values(project, "Samples", "Y")))
  describe_file("Grid3D")
  r <- orv_call("SReadCoordinates")
  expect_equal(c(r$ndim, r$nech, length(r$tab)), c(3L, 24L, 72L))
  # A read the server refuses half-way fails the whole read: here the
  # target's Selection, gone from the File behind the bridge's back.
  orv_call("IGetSelectionList", "Demo", "Mining", "Samples")
  orv_call("STestDefine", 4L, "Inside", 1L)
  json <- file.path(project, "Demo", "Mining", "Samples", "file.json")
  writeLines(sub('"name": "Inside"', '"name": "Gone"', readLines(json), fixed = TRUE), json)
  expect_identical(orv_call("SReadCoordinates")[c("tab", "error")],
                   list(tab = numeric(0), error = 1L))
  orv_call("SDisconnectOrvane")
  r <- check(4L, c(100, 200, 0, 0))
  expect_equal(list(r$value$error, r$lines), list(1L, "Space dimension may not be larger than 3"))
  # DbCompatible() also compares angles, names the first difference, takes a raster's nodes.
  local_orvane()
  grid3d <- DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(10, 10, 5),
                          angles = c(30, 0, 0))
  unturned <- modifyList(unclass(grid3d), list(angles = NULL))
  # The record shows whether each fits and the report of each that does not.
  cases <- list( # File, description
    same = list("Grid3D", grid3d), not_turned = list("Grid3D", unturned),
    a_rounding_apart = list("Grid3D",
                            modifyList(unclass(grid3d), list(x0 = c(100 * (1 + 1e-15), 200, 0)))),
    origin_apart = list("Grid3D", modifyList(unclass(grid3d), list(x0 = c(100, 200.001, 0)))),
    nodes_apart = list("Grid3D", modifyList(unclass(grid3d), list(nx = c(4L, 2L, 3L)))),
    points = list("Samples", list(grid = FALSE, ndim = 2, nech = 11)),
    by_axis = list("Samples", list(grid = FALSE, ndim = 2, coordinates = 1:24)),
    # Counts alone: no coordinates are made up for them.
    points_by_the_billion = list("Samples", list(grid = FALSE, ndim = 3, nech = 2e9)))
  rec <- character(0)
  for (name in names(cases)) {
    ListVariables("Demo", "Mining", cases[[name]][[1]])
    said <- capture.output(fits <- DbCompatible(cases[[name]][[2]]), type = "message")
    rec <- c(rec, labelled(name, fits), said)
  }
  orv_expect_record(rec, "compat-reports")
  if (requireNamespace("terra", quietly = TRUE)) {
    ListVariables("Demo", "Mining", "Grid2D")
    expect_true(DbCompatible(AsSpatRaster("Grid2D")))
    expect_true(DbCompatible(DbDescription(AsSpatRaster("Grid2D"))))
  }
  expect_error(CreateFileForDb(unturned, "Grid3D", "Demo", "Mining", allow_existing = TRUE),
               "angle about Z")
  # A grid goes without per-node coordinates, however many nodes it has.
  big <- DbDescription(nx = c(2000, 2000, 25))
  CreateFileForDb(big, "Big", "Demo", "Mining")
  expect_true(DbCompatible(big))
  # A grid turned about each axis keeps each angle in its place.
  CreateFileForDb(DbDescription(nx = c(2, 2, 2), angles = c(30, 20, 10)), "Turned", "Demo",
                  "Mining")
  expect_identical(DescribeFile("Turned")$angles, c(30, 20, 10))
  # A comparison that cannot be made is an error, not a Db that does not fit.
  ListFiles("Demo", "Mining", delete = "Big")
  expect_error(DbCompatible(big), class = "orvane_error")
})
