# The functions users call: bad arguments stopped in R with a message that
# names them, values shaped for R (NA, one matrix column per macro item, Db
# descriptions), and the server that ConnectOrvane() launches stopped again.

test_that("the package loads, its native symbols resolve by name, and its server is installed", {
  for (sym in c("VEKClientInitialize", "VEKClientConnect", "_vek_send_and_wait", "_vek_rw_vector",
                "SConnectOrvane")) {
    expect_true(is.loaded(sym, PACKAGE = "orvanelink"), label = sym)
  }
  expect_true(file.access(system.file("bin", "VEKserver", package = "orvanelink"), 1) == 0)
  # The sample project goes into an empty directory that is already there, or
  # one made with its parents.
  for (d in c(".", "new/dir")) {
    expect_silent(p <- OrvaneSampleProject(file.path(withr::local_tempdir(), d)))
    expect_true(file.exists(file.path(p, "Demo", "Mining", "Grid3D", "file.json")))
  }
  # A server program named relative to the working directory fits once made
  # absolute, to the byte.
  d <- normalizePath(withr::local_tempdir())
  while (nchar(d) < 780) {
    d <- file.path(d, strrep("d", 200))
    dir.create(d)
  }
  withr::local_dir(d)
  for (n in c(1023L, 1024L)) file.copy("/bin/true", strrep("f", n - nchar(d) - 1L))
  expect_identical(orvanelink:::.server_to_launch(strrep("f", 1022L - nchar(d))),
                   file.path(d, strrep("f", 1022L - nchar(d))))
  expect_error(orvanelink:::.server_to_launch(strrep("f", 1023L - nchar(d))),
               "too long once made absolute", class = "orvane_usage_error")
  # A suggested package that is missing is named, with where to get it.
  expect_error(orvanelink:::.need_package("nosuchpkg", "AsSf"), class = "orvane_usage_error",
               "AsSf() needs the package 'nosuchpkg': install it (on Debian: r-cran-nosuchpkg)",
               fixed = TRUE)
})

test_that("arguments are checked in R before anything is sent, with the reason", {
  plain <- withr::local_tempfile()
  writeLines("not a program", plain)
  Sys.chmod(plain, "0644")
  # A refusal in R names the argument in quotes; a call that reached the
  # bridge would fail with a "could not ..." error instead.
  cases <- list( # call, argument named (the record shows each reason)
    list(quote(ConnectOrvane(verbose = 1)), "verbose"),
    list(quote(ConnectOrvane(server = "/bin/sh")), "server"),
    list(quote(ConnectOrvane(run_server = TRUE, server = plain)), "server"),
    list(quote(ListStudies(location = "somewhere")), "location"),
    list(quote(CopyDbToOrvane(1:3, "v", selection_values = c(1, 0, 1))), "selection_values"),
    list(quote(ManageTarget(db = list(grid = TRUE))), "db"),
    list(quote(DbDescription(nx = quote(a + b))), "nx"),
    list(quote(DbDescription(nx = c(2, 2), angles = c(0, NA))), "angles"),
    list(quote(DbDescription(coordinates = matrix(0, 2, 4))), "coordinates"),
    list(quote(DbDescription(coordinates = matrix(0, 0, 2))), "coordinates"),
    list(quote(DbDescription(coordinates = 1:3, dx = 1)), "dx"),
    list(quote(DbDescription(nx = c(2.5, 2))), "nx"), list(quote(DbDescription(nx = 1:4)), "nx"),
    # Plain lists are checked as thoroughly before the bridge sees them.
    list(quote(DbCompatible(list(grid = NA, nx = 2))), "db"),
    list(quote(DbCompatible(list(grid = TRUE, nx = c(2, 2), ndim = 3))), "db"),
    list(quote(DbCompatible(list(grid = TRUE, nx = c(2, 2), nech = 5))), "db"),
    list(quote(DbCompatible(list(grid = FALSE, ndim = 4, nech = 2))), "db$ndim"),
    list(quote(DbCompatible(list(grid = FALSE, ndim = 2, coordinates = 1:5))), "db"),
    list(quote(CreateFileForDb(DbDescription(nx = 5), "f")), "db"))
  orv_expect_record(vapply(cases, function(case) {
    err <- expect_error(eval(case[[1]]), sprintf("'%s'", case[[2]]), fixed = TRUE,
                        class = "orvane_usage_error", label = deparse1(case[[1]]))
    paste0(deparse1(case[[1]]), ": ", conditionMessage(err))
  }, ""), "functions-refusals")
  expect_error(OrvaneSampleProject(file.path(plain, "p")), "a file copy failed",
               class = "orvane_failure")
  expect_error(DbDescription(coordinates = 1, nx = 1), "either 'coordinates'")
  # 499 bytes pass R and reach the bridge, which is not connected.
  expect_error(CopyOrvaneToDb(strrep("n", 499)), "could not read variable",
               class = "orvane_not_connected")
})

test_that("Db descriptions are built in R", {
  # The record shows each description's fields and how it prints.
  p <- DbDescription(coordinates = data.frame(a = c(1, 2, NA), b = c(4, 5, 6)))
  expect_identical(colnames(p$coordinates), c("x", "y"))
  p0 <- p
  p0$coordinates <- NULL
  descs <- list(grid = DbDescription(nx = c(4, 3), x0 = c(100, 200), dx = c(10, 5)),
                # The last node, not one beyond it, must stay below 1e30.
                huge_mesh = DbDescription(nx = c(2, 1), dx = c(9e29, 1)),
                points = p, points_without_coordinates = p0,
                one_point = DbDescription(coordinates = cbind(NA, 7)),
                points_1d = DbDescription(coordinates = 1:4), one_node = DbDescription(nx = 1))
  orv_expect_record(unlist(lapply(names(descs), function(n) {
    c(labelled(n, unclass(descs[[n]])), capture.output(print(descs[[n]])))
  })), "functions-descriptions")
})

test_that("ConnectOrvane launches the bundled server and DisconnectOrvane stops it", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  # A server that saw this would refuse to start: the path given wins.
  elsewhere <- file.path(tempdir(), "no-such-project")
  # The server is found by its variable, the way the client looks for it.
  withr::local_envvar(c(VEK_TEST_IDLE_EXIT = "20", VEK_PROJECT_DIR = elsewhere,
                        VEK_SERVER = orv_server_bin()))
  withr::defer(DisconnectOrvane())
  # Servers other tests left to their idle limit are children too.
  others <- orvanelink:::.server_pids()
  expect_invisible(ConnectOrvane(run_server = TRUE, path = project))
  expect_identical(Sys.getenv("VEK_PROJECT_DIR"), elsewhere)
  pid <- setdiff(orvanelink:::.server_pids(), others)
  expect_length(pid, 1L)
  expect_identical(ListStudies(), "Demo")
  # A second call keeps the connection and launches nothing.
  expect_true(suppressMessages(ConnectOrvane(run_server = TRUE, path = project)))
  expect_identical(setdiff(orvanelink:::.server_pids(), others), pid)
  expect_true(DisconnectOrvane(stop_server = FALSE))
  expect_false(IsConnectedOrvane())
  expect_true(pid %in% orvanelink:::.server_pids())
  expect_identical(withVisible(DisconnectOrvane()), list(value = TRUE, visible = FALSE))
  for (i in 1:100) if (pid %in% orvanelink:::.server_pids()) Sys.sleep(0.05) else break
  expect_false(pid %in% orvanelink:::.server_pids())
})

test_that("lists, descriptions and variables come back as R values", {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  # The record shows each call's value: lists, an existing Directory accepted, a description.
  calls <- alist(ListStudies(new = "Survey", location = "Survey"),
                 ListDirectories("Survey", new = "A"), CreateDirectory("A", allow_existing = TRUE),
                 ListFiles("Demo", "Mining", delete = "Lines"), ListSelections(file = "Grid2D"),
                 unclass(DescribeFile("Grid3D")))
  orv_expect_record(vapply(calls, function(x) labelled(deparse1(x), eval(x)), ""),
                    "functions-values")
  g <- DescribeFile("Grid3D")
  expect_identical(FileCharacteristics(), g)
  expect_true(DbCompatible(g))
  expect_message(expect_false(DbCompatible(DbDescription(nx = c(4, 3, 2)))), "Incompatibility")
  # A mismatch clears the target's File.
  expect_error(FileCharacteristics(), "could not describe the current File")

  # A macro variable is one column per item.
  simu <- CopyOrvaneToDb("Simu[xxxxx]", file = "Grid3D")
  expect_identical(dim(simu), c(24L, 3L))
  expect_identical(CopyOrvaneToDb("Simu[xxxxx]", item = 2), simu[, 2])
  expect_error(CopyOrvaneToDb("Simu[xxxxx]", item = 4), "could not read variable 'Simu\\[xxxxx\\]'")
  expect_error(CopyOrvaneToDb("Lithology"), "could not read variable 'Lithology'")

  # What acts returns TRUE invisibly; a print method its argument.
  acts <- list(quote(CreateDirectory("B", "Survey")), quote(ShowTarget()),
               quote(CreateFileForDb(DbDescription(nx = 2:3), "G", "Demo", "Mining")),
               quote(CopyDbToOrvane(1:6 + 0, "V")), quote(WriteVariable(6:1, "U")),
               quote(WriteFile(data.frame(W = 1:6 + 0), "G")))
  for (call in acts) {
    expect_identical(withVisible(suppressMessages(eval(call))), list(value = TRUE, visible = FALSE),
                     label = deparse(call))
  }
  for (x in list(g, ListTree("Demo"))) {
    capture.output(shown <- withVisible(print(x)))
    expect_identical(shown, list(value = x, visible = FALSE))
  }

  DescribeFile("Samples")
  xy <- ReadCoordinates()
  expect_identical(colnames(xy), c("x", "y"))
  expect_identical(unname(xy[, "y"]), stored_values(project, "Samples", "Y"))
  # Logicals count as 0/1, NA selects nothing; a wrong length is refused by
  # the bridge, nothing created.
  odd <- rep(c(TRUE, FALSE), 6)
  expect_invisible(CopyDbToOrvane(odd, "W", selection = "Odd",
                                  selection_values = odd, unit = "g/t"))
  expect_identical(is.na(CopyOrvaneToDb("W", selection = "Odd")), !odd)
  expect_identical(CopyOrvaneToDb("W"), as.double(odd))
  expect_error(CopyDbToOrvane(1:5, "Short"), "could not write variable 'Short'")
  expect_false("Short" %in% ListVariables())
  # The target is Samples under the selection Odd: brackets become
  # underscores, and only the selected samples are written.
  expect_invisible(WriteVariable(12:1, "Grade[1]"))
  expect_identical(CopyOrvaneToDb("Grade_1_"), ifelse(odd, as.double(12:1), NA))
})

test_that("the console functions read their answers and return R values", {
  skip_if_not(orv_have_server())
  skip_if_not_installed("processx")
  out <- orv_dialogue(c(
    emit_def,
    "ConnectOrvane(run_server = TRUE)",
    "ok <- ManageTarget(stop_level = 'file')", "1", "1", "3",
    "emit('walk', ok)",
    "before <- CopyOrvaneToDb('Grade')",
    "x <- ReadVariable()", "4", "5", "0", "6", "stop",
    "emit('names', names(x))",
    "emit('simu2', identical(x[['Simu[xxxxx]']][, 2], CopyOrvaneToDb('Simu[xxxxx]', item = 2)))",
    "emit('items', dim(x[['Simu[xxxxx]']]))",
    "y <- ReadVariable(orient = c(1, -1, 1))", "4", "stop",
    "emit('flipped', identical(y$Grade, as.vector(array(x$Grade, c(4, 3, 2))[, 3:1, ])))",
    "emit('grade', identical(x$Grade, before))",
    "WriteVariable(before * 2, 'Grade')", "n",
    "emit('kept', identical(CopyOrvaneToDb('Grade'), before))",
    "emit('rank', DesignateVariable(c('a', 'b', 'c')))", "x", "3",
    "emit('stopped', DesignateVariable('a'))", "stop",
    "emit('early', ManageTarget(reset = TRUE))", "stop",
    "invisible(DescribeFile('Grid2D', 'Demo', 'Mining'))",
    "fits <- DbCompatible(DbDescription(nx = 2:3))",
    "DisconnectOrvane()",
    "emit('connected', orvanelink:::.server_pids())"
  ), project = orv_project_copy(), connect = FALSE)
  # The record shows each menu and answer, and: Grade, then every item of
  # Simu as columns, then the character variable, with a warning; "x"
  # refused; no item created unasked; a report that is not a dialogue said
  # once, as a message; no server left running.
  orv_expect_record(dialogue_lines(out), "functions-console")
})
