# The functions users call: bad arguments stopped in R with a message that
# names them, failures turned into R errors, values shaped for R (NA, one
# matrix column per macro item, Db descriptions), and the server that
# ConnectOrvane() launches stopped again.

long_name <- strrep("n", 500)
max_name <- strrep("n", 499)

# A refusal in R names the argument in quotes; a call that reached the
# bridge would fail with a "could not ..." error instead.
expect_refused <- function(expr, arg, what = NULL) {
  err <- expect_error(expr, sprintf("'%s'", arg), fixed = TRUE)
  if (!is.null(what)) expect_match(conditionMessage(err), what, fixed = TRUE)
  invisible(err)
}

stored <- function(project, file, name) {
  path <- file.path(project, "Demo", "Mining", file, name)
  readBin(path, "double", file.size(path) / 8, endian = "little")
}

wait_gone <- function(pid) {
  for (i in 1:100) {
    if (!pid %in% orvanelink:::.server_pids()) return(TRUE)
    Sys.sleep(0.05)
  }
  FALSE
}

test_that("names are refused in R when of the wrong type, NA, empty, several or too long", {
  bad <- list(1, NA, NA_character_, "", long_name, c("a", "b"), character(0), list("a"), "a\nb")
  calls <- list(
    study = function(x) ListDirectories(study = x),
    directory = function(x) ListFiles(directory = x),
    file = function(x) ListSelections(file = x),
    delete = function(x) ListVariables(delete = x),
    delete = function(x) ListStudies(delete = x),
    variable = function(x) CopyOrvaneToDb(x),
    selection = function(x) CopyOrvaneToDb("v", selection = x),
    variable = function(x) CopyDbToOrvane(1, x),
    selection = function(x) CopyDbToOrvane(1, "v", selection = x, selection_values = 1),
    name = function(x) WriteVariable(1, x),
    directory = function(x) CreateDirectory(x),
    file = function(x) CreateFileForDb(DbDescription(nx = c(2, 2)), x),
    file = function(x) DescribeFile(x),
    new = function(x) ListStudies(new = x, location = "loc"),
    new = function(x) ListDirectories(new = x)
  )
  for (i in seq_along(calls)) {
    for (b in bad) expect_refused(calls[[i]](b), names(calls)[i])
  }
  # "None" marks an undefined level: an item of that name could not be used.
  expect_refused(ListStudies(new = "None", location = "x"), "new", "None")
  expect_refused(CreateDirectory("None"), "directory", "None")
  expect_refused(CopyDbToOrvane(1, "None"), "variable", "None")
  # 499 characters pass R and reach the bridge, which is not connected.
  expect_error(ListDirectories(study = max_name), "could not list the Directories")
  expect_error(CopyOrvaneToDb(max_name), "could not read variable")
})

test_that("other arguments are checked in R before anything is sent", {
  expect_refused(ConnectOrvane(host = ""), "host")
  expect_refused(ConnectOrvane(host = NA_character_), "host")
  expect_refused(ConnectOrvane(host = strrep("h", 1024)), "host", "too long")
  for (p in list(0, 65536, 1.5, NA, "5500", c(1, 2), -1)) expect_refused(ConnectOrvane(port = p), "port")
  expect_refused(ConnectOrvane(run_server = NA), "run_server")
  expect_refused(ConnectOrvane(run_server = "yes"), "run_server")
  expect_refused(ConnectOrvane(verbose = 1), "verbose")
  expect_refused(ConnectOrvane(path = long_name), "path", "too long")
  expect_refused(ConnectOrvane(server = "/bin/sh"), "server", "only used with run_server")
  expect_refused(ConnectOrvane(run_server = TRUE, server = tempfile()), "server", "names no file")
  expect_refused(ConnectOrvane(run_server = TRUE, server = tempdir()), "server", "names no file")
  plain <- withr::local_tempfile()
  writeLines("not a program", plain)
  Sys.chmod(plain, "0644")
  expect_refused(ConnectOrvane(run_server = TRUE, server = plain), "server", "not executable")
  expect_refused(DisconnectOrvane(stop_server = NA), "stop_server")

  expect_refused(ListStudies(new = "S"), "location", "needed")
  expect_refused(ListStudies(location = "somewhere"), "location", "only used with 'new'")
  expect_refused(ListStudies(new = "S", location = ""), "location", "empty")
  expect_refused(CreateDirectory("D", allow_existing = NA), "allow_existing")

  for (it in list(-1, 1.5, NA, "1", c(1, 2), Inf)) expect_refused(CopyOrvaneToDb("v", item = it), "item")
  for (v in list("a", numeric(0), c(1, Inf), 2e30, list(1), NULL, factor("a"))) {
    expect_refused(CopyDbToOrvane(v, "v"), "values")
    expect_refused(WriteVariable(v, "v"), "values")
  }
  expect_refused(CopyDbToOrvane(1:3, "v", unit = "kilometres!"), "unit", "too long")
  expect_refused(CopyDbToOrvane(1:3, "v", unit = NA_character_), "unit")
  expect_refused(CopyDbToOrvane(1:3, "v", selection_values = c(1, 0, 1)), "selection_values", "selection")
  expect_refused(CopyDbToOrvane(1:3, "v", selection = "s"), "selection_values", "needed")
  expect_refused(CopyDbToOrvane(1:3, "v", selection = "s", selection_values = c(1, NA, 0)), "selection_values")
  expect_refused(CopyDbToOrvane(1:3, "v", selection = "s", selection_values = c(1, 2, 0)), "selection_values")
  expect_refused(CopyDbToOrvane(1:3, "v", selection = "s", selection_values = c(1, 0)), "selection_values",
                 "one value per sample (3)")
  expect_refused(CopyDbToOrvane(1:3, "v", selection = "v", selection_values = c(1, 0, 1)), "selection")

  for (o in list(c(1, 1), c(1, 0, 1), c(1, NA, 1), "a", c(2, 1, 1))) {
    expect_refused(WriteVariable(1, "v", orient = o), "orient")
    expect_refused(ReadVariable(orient = o), "orient")
  }
  for (s in list("files", 0, 6, NA, c("study", "file"), 2.5)) expect_refused(ManageTarget(stop_level = s), "stop_level")
  expect_refused(ManageTarget(create = NA), "create")
  expect_refused(ManageTarget(db = list(grid = TRUE)), "db", "no 'nx'")
  for (n in list(character(0), c("a", NA), c("a", ""), 1:3, c("a", long_name))) {
    expect_refused(DesignateVariable(n), "names")
  }
  expect_refused(OrvaneSampleProject(dir = ""), "dir")
  full <- withr::local_tempdir()
  writeLines("x", file.path(full, "x"))
  expect_refused(OrvaneSampleProject(dir = full), "dir", "new or empty")
})

test_that("Db descriptions are built and checked in R", {
  g <- DbDescription(nx = c(4, 3), x0 = c(100, 200), dx = c(10, 5))
  expect_s3_class(g, "DbDescription")
  expect_identical(g[c("ndim", "nech", "grid", "nx")], list(ndim = 2L, nech = 12L, grid = TRUE, nx = c(4L, 3L)))
  expect_identical(g$angles, c(0, 0))
  expect_null(g$coordinates)
  expect_identical(DbDescription(nx = 5)$dx, 1)
  expect_output(print(g), "Grid Db description: 2 dimensions, 12 samples")

  p <- DbDescription(coordinates = data.frame(a = c(1, 2, NA), b = c(4, 5, 6)))
  expect_identical(p[c("ndim", "nech", "grid")], list(ndim = 2L, nech = 3L, grid = FALSE))
  expect_identical(colnames(p$coordinates), c("x", "y"))
  expect_true(is.na(p$coordinates[3, 1]))
  expect_identical(DbDescription(coordinates = 1:4)$ndim, 1L)
  expect_output(print(p), "x from 1 to 2")

  expect_error(DbDescription(), "either 'coordinates'")
  expect_error(DbDescription(coordinates = 1, nx = 1), "either 'coordinates'")
  for (nx in list(c(4, 0), c(4, NA), c(2.5, 2), 1:4, numeric(0), "4")) expect_refused(DbDescription(nx = nx), "nx")
  expect_refused(DbDescription(nx = c(1e5, 1e5, 1e5)), "nx", "2^31")
  expect_refused(DbDescription(nx = c(2, 2), x0 = 1), "x0", "2 value")
  expect_refused(DbDescription(nx = c(2, 2), dx = c(1, 0)), "dx", "positive")
  expect_refused(DbDescription(nx = c(2, 2), angles = c(0, NA)), "angles", "finite")
  expect_refused(DbDescription(coordinates = matrix(0, 2, 4)), "coordinates", "1 to 3 columns")
  expect_refused(DbDescription(coordinates = matrix(0, 0, 2)), "coordinates", "at least one sample")
  expect_refused(DbDescription(coordinates = c(1, NaN)), "coordinates", "NaN")
  expect_refused(DbDescription(coordinates = c(1, Inf)), "coordinates", "infinite")
  expect_refused(DbDescription(coordinates = c("1", "2")), "coordinates")
  expect_refused(DbDescription(coordinates = data.frame(a = "x")), "coordinates")
  expect_refused(DbDescription(coordinates = 1:3, dx = 1), "dx", "grid")

  # Plain lists are checked as thoroughly before the bridge sees them.
  expect_refused(DbCompatible("grid"), "db")
  expect_refused(DbCompatible(list()), "db", "grid")
  expect_refused(DbCompatible(list(grid = NA, nx = 2)), "db")
  expect_refused(DbCompatible(list(grid = TRUE, nx = c(2, 2), ndim = 3)), "db", "'ndim' = 3")
  expect_refused(DbCompatible(list(grid = TRUE, nx = c(2, 2), nech = 5)), "db", "'nech' = 5")
  expect_refused(DbCompatible(list(grid = FALSE, ndim = 4, nech = 2)), "db$ndim")
  expect_refused(DbCompatible(list(grid = FALSE, ndim = 2, coordinates = 1:5)), "db", "multiple")
  expect_refused(CreateFileForDb(list(grid = FALSE, ndim = 2, nech = 3), "f"), "db", "no 'coordinates'")
  expect_refused(CreateFileForDb(DbDescription(nx = 5), "f"), "db", "2 or 3")
})

test_that("ConnectOrvane launches the bundled server and DisconnectOrvane stops it", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  # A server that saw this would refuse to start: the path given wins.
  elsewhere <- file.path(tempdir(), "no-such-project")
  withr::local_envvar(c(VEK_TEST_IDLE_EXIT = "20", VEK_PROJECT_DIR = elsewhere))
  withr::defer(DisconnectOrvane())
  # Servers other tests left to their idle limit are children too.
  others <- orvanelink:::.server_pids()
  expect_invisible(ConnectOrvane(run_server = TRUE, path = project))
  expect_identical(Sys.getenv("VEK_PROJECT_DIR"), elsewhere)
  pid <- setdiff(orvanelink:::.server_pids(), others)
  expect_length(pid, 1L)
  expect_true(IsConnectedOrvane())
  expect_identical(ListStudies(), "Demo")
  expect_true(suppressMessages(ShowTarget()))
  # A second call keeps the connection and launches nothing.
  expect_true(suppressMessages(ConnectOrvane(run_server = TRUE, path = project)))
  expect_identical(setdiff(orvanelink:::.server_pids(), others), pid)

  DisconnectOrvane(stop_server = FALSE)
  expect_false(IsConnectedOrvane())
  expect_true(pid %in% orvanelink:::.server_pids())
  DisconnectOrvane()
  expect_true(wait_gone(pid))
})

test_that("lists and descriptions come back as R vectors and Db descriptions", {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  expect_identical(ListStudies(), "Demo")
  expect_identical(ListDirectories("Demo"), "Mining")
  expect_identical(ListFiles("Demo", "Mining"), c("Cores", "Grid2D", "Grid3D", "Lines", "Samples"))
  expect_identical(ListSelections(file = "Samples"), "Inside")
  expect_identical(ListSelections(file = "Grid2D"), character(0))
  expect_identical(ListVariables(file = "Grid3D"), c("Grade", "Simu[xxxxx]"))

  g <- DescribeFile("Grid3D")
  expect_s3_class(g, "DbDescription")
  expect_identical(g[c("ndim", "nech", "grid", "nx")], list(ndim = 3L, nech = 24L, grid = TRUE, nx = c(4L, 3L, 2L)))
  expect_identical(g$x0, c(100, 200, 0))
  expect_identical(g$dx, c(10, 10, 5))
  expect_identical(g$angles, c(30, 0, 0))
  expect_identical(FileCharacteristics(), g)

  p <- DescribeFile("Samples")
  expect_identical(p[c("ndim", "nech", "grid", "nx")], list(ndim = 2L, nech = 12L, grid = FALSE, nx = c(0L, 0L)))
  xy <- ReadCoordinates()
  expect_identical(dim(xy), c(12L, 2L))
  expect_identical(colnames(xy), c("x", "y"))
  expect_equal(unname(xy[, "x"]), stored(project, "Samples", "X.bin"))
  expect_equal(unname(xy[, "y"]), stored(project, "Samples", "Y.bin"))
})

test_that("variables cross as R values: NA where undefined, one column per macro item", {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  grade <- CopyOrvaneToDb("Grade", "Demo", "Mining", "Grid3D")
  raw <- stored(project, "Grid3D", "Grade.bin")
  # Db order (X fastest) from the server order on disk (Z fastest).
  expect_identical(grade, ifelse(raw > 1e30, NA, raw)[as.vector(aperm(array(1:24, c(2, 3, 4)), 3:1))])
  expect_identical(sum(is.na(grade)), 3L)

  simu <- CopyOrvaneToDb("Simu[xxxxx]")
  expect_identical(dim(simu), c(24L, 3L))
  expect_identical(CopyOrvaneToDb("Simu[xxxxx]", item = 2), simu[, 2])
  expect_error(CopyOrvaneToDb("Simu[xxxxx]", item = 4), "could not read variable 'Simu\\[xxxxx\\]'")
  # Only numeric variables can be read.
  expect_error(CopyOrvaneToDb("Lithology"), "could not read variable 'Lithology'")

  inside <- CopyOrvaneToDb("Inside", file = "Samples")
  cu <- CopyOrvaneToDb("Cu")
  expect_identical(is.na(CopyOrvaneToDb("Cu", selection = "Inside")), is.na(cu) | inside == 0)

  odd <- rep(c(TRUE, FALSE), 6)
  vals <- c(NA, seq(0.5, 5.5, by = 0.5))
  expect_invisible(CopyDbToOrvane(vals, "W", file = "Samples", selection = "Odd", selection_values = odd,
                                  unit = "g/t"))
  expect_true(all(c("W", "Odd") %in% ListVariables()))
  expect_identical(ListSelections(), c("Inside", "Odd"))
  expect_equal(CopyOrvaneToDb("W"), vals, tolerance = 1e-6)
  expect_identical(CopyOrvaneToDb("Odd"), as.double(odd))
  expect_identical(is.na(CopyOrvaneToDb("W", selection = "Odd")), is.na(vals) | !odd)
  # Writing again under the same name replaces the variable, logicals count as 0/1.
  CopyDbToOrvane(odd, "W")
  expect_identical(CopyOrvaneToDb("W"), as.double(odd))

  # A vector of the wrong length is refused by the bridge; nothing is created.
  expect_error(CopyDbToOrvane(1:5, "Short"), "could not write variable 'Short'")
  expect_false("Short" %in% ListVariables())

  # The target is Samples with the selection Odd, created above: brackets
  # become underscores, and only the selected samples are written.
  expect_invisible(WriteVariable(12:1, "Grade[1]"))
  expect_true("Grade_1_" %in% ListVariables())
  expect_identical(CopyOrvaneToDb("Grade_1_"), ifelse(odd, as.double(12:1), NA))
  expect_error(WriteVariable(1:3, "Three"), "could not write variable 'Three'")
})

test_that("a Db is compared with a File, and Files are created for a Db", {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  g3 <- DescribeFile("Grid3D", "Demo", "Mining")
  expect_true(DbCompatible(g3))
  expect_true(DbCompatible(DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 0), dx = c(10, 10, 5))))
  expect_false(suppressMessages(DbCompatible(list(grid = FALSE, ndim = 2, nech = 12))))
  # A mismatch clears the target's File.
  expect_error(FileCharacteristics(), "could not describe the current File")
  DescribeFile("Grid3D")
  expect_message(expect_false(DbCompatible(DbDescription(nx = c(4, 3, 2), x0 = c(100, 200, 1e-9), dx = c(10, 10, 5)))),
                 "Incompatibility")

  grid <- DbDescription(nx = c(2, 3), x0 = c(5, 6), dx = c(1, 2))
  expect_invisible(CreateFileForDb(grid, "G", study = "Demo", directory = "Mining"))
  expect_true("G" %in% ListFiles())
  d <- DescribeFile("G")
  expect_identical(d[c("ndim", "nech", "nx", "x0", "dx")], grid[c("ndim", "nech", "nx", "x0", "dx")])
  CopyDbToOrvane(1:6, "v", file = "G")
  expect_identical(CopyOrvaneToDb("v"), as.double(1:6))
  expect_error(CreateFileForDb(grid, "G"), "could not create File 'G'")
  expect_true(CreateFileForDb(grid, "G", allow_existing = TRUE))
  expect_error(CreateFileForDb(DbDescription(nx = c(2, 4)), "G", allow_existing = TRUE), "could not create File 'G'")

  pts <- list(grid = FALSE, ndim = 2, nech = 3, coordinates = c(1, 2, 3, 40, 50, 60))
  CreateFileForDb(pts, "P")
  expect_identical(DescribeFile("P")[c("ndim", "nech", "grid")], list(ndim = 2L, nech = 3L, grid = FALSE))
  expect_equal(unname(ReadCoordinates()), cbind(c(1, 2, 3), c(40, 50, 60)))
  expect_true(DbCompatible(DbDescription(coordinates = cbind(0, 1:3))))
})

test_that("the list functions create and delete items on the way", {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  expect_identical(ListStudies(new = "Survey", location = "survey"), c("Demo", "Survey"))
  expect_identical(ListDirectories("Survey", new = "A"), "A")
  expect_invisible(CreateDirectory("B", study = "Survey"))
  expect_true(CreateDirectory("B", allow_existing = TRUE))
  expect_error(CreateDirectory("B"), "could not create Directory 'B'")
  expect_error(ListDirectories(new = "B"), "could not list the Directories")
  expect_identical(ListDirectories(delete = "B"), "A")
  expect_identical(ListStudies(delete = "Survey"), "Demo")
  expect_identical(ListFiles("Demo", "Mining", delete = "Lines"), c("Cores", "Grid2D", "Grid3D", "Samples"))
  expect_identical(ListVariables(file = "Grid3D", delete = "Grade"), "Simu[xxxxx]")
  expect_error(ListVariables(delete = "Grade"), "could not list the variables")
})

test_that("the console functions read their answers and return R values", {
  skip_if_not(orv_have_server())
  skip_if_not_installed("processx")
  project <- orv_project_copy()
  out <- orv_dialogue(c(
    'show <- function(tag, x) cat(sprintf("RESULT %s %s\\n", tag, paste(x, collapse = ",")))',
    "ConnectOrvane(run_server = TRUE)",
    "ok <- ManageTarget(stop_level = 'file')", "1", "1", "3",
    "show('walk', ok)",
    "before <- CopyOrvaneToDb('Grade')",
    "x <- ReadVariable()", "4", "5", "2", "6", "stop",
    "show('names', names(x))",
    "show('simu2', identical(x[['Simu[00002]']], CopyOrvaneToDb('Simu[xxxxx]', item = 2)))",
    "show('grade', identical(x$Grade, before))",
    "ListVariables(file = 'Grid3D')",
    "WriteVariable(before * 2, 'Grade')", "n",
    "show('kept', identical(CopyOrvaneToDb('Grade'), before))",
    "show('rank', DesignateVariable(c('a', 'b', 'c')))", "x", "3",
    "show('stopped', DesignateVariable('a'))", "stop",
    "show('early', ManageTarget(reset = TRUE))", "stop",
    "DisconnectOrvane()",
    "show('connected', orvanelink:::.server_pids())"
  ), project = project, connect = FALSE)
  expect_identical(orv_result(out, "walk"), "TRUE")
  # Grade whole, then item 2 of Simu, then the character variable: a warning.
  expect_identical(orv_result(out, "names"), "Grade,Simu[00002]")
  expect_identical(orv_result(out, "simu2"), "TRUE")
  expect_identical(orv_result(out, "grade"), "TRUE")
  expect_true(any(grepl("variable 'Lithology' could not be read", out, fixed = TRUE)))
  expect_identical(orv_result(out, "kept"), "TRUE")
  expect_identical(orv_result(out, "rank"), "3")
  expect_true(any(grepl("The answer 'x' is not valid", out, fixed = TRUE)))
  expect_identical(orv_result(out, "stopped"), "NA")
  expect_identical(orv_result(out, "early"), "FALSE")
  expect_identical(orv_result(out, "connected"), "")
})
