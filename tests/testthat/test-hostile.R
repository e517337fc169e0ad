# Every exported function, one hostile argument at a time: each refusal is
# an orvane_usage_error whose message is one short line of valid UTF-8 that
# names the argument, and the project's files are as they were.

hostile <- list(
  null = NULL, na = NA, na_text = NA_character_, number = 1, empty = "", two = c("a", "b"),
  none = character(0), huge = strrep("h", 1e6), bytes = rawToChar(as.raw(c(0x41, 0xff, 0xfe))),
  control = "a\n\001\037\177b", list = list("a"), fun = function() 1, env = new.env(),
  frame = data.frame(a = I(list(1, 2))), inf = Inf, over = 2^31
)
names_ok <- c("null")          # an optional name: NULL is the current item
numbers_ok <- c("number")      # a count or a value where 1 is fine

# One row: the function, arguments that would work, the arguments attacked
# (one at a time), the hostile values they take (by name) and values of their
# own to refuse.
row <- function(fun, base, arg, ok = character(0), extra = list()) {
  list(fun = fun, base = base, arg = arg, ok = ok, extra = extra)
}

# Each refusal's words are also kept in a record (see orv_expect_record()), so
# that a refusal hidden behind another one of the same argument shows.
expect_refusals <- function(rows, record, project = NULL) {
  before <- if (!is.null(project)) orv_project_sum(project)
  said <- character(0)
  for (r in rows) for (arg in r$arg) {
    values <- c(hostile[setdiff(names(hostile), r$ok)], r$extra)
    for (tag in names(values)) {
      args <- r$base
      args[arg] <- list(values[[tag]])
      label <- sprintf("%s(%s = <%s>)", r$fun, arg, tag)
      err <- tryCatch(suppressMessages(do.call(r$fun, args, quote = TRUE)), error = identity)
      msg <- if (inherits(err, "condition")) conditionMessage(err) else NA
      expect_true(inherits(err, "orvane_usage_error"), label = paste(label, class(err)[1], msg))
      expect_true(is.character(msg) && length(msg) == 1L && validUTF8(msg) && nchar(msg) < 400 &&
                    !grepl("\n", msg) && grepl(paste0("'", arg), msg, fixed = TRUE),
                  label = paste(label, msg))
      if (!is.null(project)) expect_identical(orv_project_sum(project), before, label = label)
      said <- c(said, paste0(label, ": ", msg))
    }
  }
  orv_expect_record(said, paste0("refusals-", record))
}

test_that(paste("catalogue functions, copies and Db descriptions refuse hostile arguments before",
                "anything is sent; the server's refusals name what was wrong too"), {
  skip_if_not(orv_have_server())
  project <- local_orvane()
  copy <- list(values = as.double(1:12), variable = "New", study = "Demo", directory = "Mining",
               file = "Samples")
  read <- list(variable = "Au", study = "Demo", directory = "Mining", file = "Samples")
  sel <- c(copy, list(selection = "S", selection_values = rep(TRUE, 12)))
  expect_refusals(record = "catalogue", list(
    row("ListStudies", list(), "new", names_ok, list(none_name = "None")),
    row("ListStudies", list(new = "S"), "location", extra = list(far = strrep("l", 1024))),
    row("ListStudies", list(), "delete", names_ok),
    row("ListDirectories", list(study = "Demo"), c("study", "delete"), names_ok),
    row("ListDirectories", list(study = "Demo", new = "New"), "new", names_ok,
        list(long = strrep("n", 500), up = "..")),
    row("ListFiles", list(study = "Demo", directory = "Mining"), c("directory", "delete"),
        names_ok),
    row("ListSelections", list(study = "Demo", directory = "Mining", file = "Samples"),
        "file", names_ok),
    row("ListVariables", list(study = "Demo", directory = "Mining", file = "Samples"),
        "delete", names_ok),
    row("CreateDirectory", list(directory = "New", study = "Demo"), "directory",
        extra = list(slash = "a/b", slash_80 = paste0(strrep("s", 78), "/b"))),
    row("CreateDirectory", list(directory = "New", study = "Demo"), "study", names_ok),
    row("CreateDirectory", list(directory = "New", study = "Demo"), "allow_existing"),
    row("DescribeFile", list(file = "Samples", study = "Demo", directory = "Mining"),
        c("file", "directory"), names_ok),
    row("ListTree", list(study = "Demo", directory = "Mining"), c("study", "directory"), names_ok),
    row("CopyOrvaneToDb", read, "variable"),
    row("CopyOrvaneToDb", read, "selection", names_ok),
    row("CopyOrvaneToDb", read, "item", numbers_ok, list(neg = -1, half = 1.5)),
    row("CopyDbToOrvane", copy, "values",
        extra = list(above = c(1, 2e30), text = "1", factor = factor(1:12))),
    row("CopyDbToOrvane", copy, "variable",
        extra = list(macro = "Simu[xxxxx]", item = "Au[00001]", dots = "..", none_name = "None")),
    row("CopyDbToOrvane", copy, "file", names_ok),
    row("CopyDbToOrvane", copy, "unit", "empty", list(long = "kilometres!")),
    row("CopyDbToOrvane", sel, "selection", extra = list(same = "New")),
    row("CopyDbToOrvane", sel, "selection_values",
        extra = list(two = c(rep(1, 11), 2), short = rep(1, 11)))
  ), project)
  # Db descriptions: overflowing sizes, nonsense geometry and odd lists.
  ListFiles("Demo", "Mining")
  grid <- list(grid = TRUE, nx = c(3, 2))
  dbs <- list(
    nodes = list(grid = TRUE, nx = c(1e5, 1e5, 1e5)),
    points = list(grid = FALSE, ndim = 2, nech = 1e10),
    turned = modifyList(grid, list(angles = c(1e308, 0))),
    full_turn = modifyList(grid, list(angles = c(360, 0))),
    origin = modifyList(grid, list(x0 = c(Inf, 0))), mesh = modifyList(grid, list(dx = c(0, 1))),
    far = modifyList(grid, list(dx = c(1e308, 1))),
    far_origin = modifyList(grid, list(x0 = c(2e30, 0))),
    text_nx = modifyList(grid, list(nx = c("3", "2"))),
    list_nx = modifyList(grid, list(nx = list(3, 2))),
    kind = list(grid = "yes", nx = 3), text_points = list(grid = FALSE, coordinates = "a"),
    ndim = list(grid = FALSE, ndim = NA, nech = 3), nech = modifyList(grid, list(nech = c(6, 6))),
    undefined = list(grid = FALSE, coordinates = cbind(1:2, c(1, 2e30)))
  )
  expect_refusals(record = "transfers", list(
    row("DbDescription", list(nx = c(3, 2)), "nx", numbers_ok,
        list(overflow = c(1e5, 1e5, 1e5), zero = c(3, 0))),
    row("DbDescription", list(nx = c(3, 2)), "x0", names_ok, list(far = c(2e30, 0))),
    row("DbDescription", list(nx = c(3, 2)), "dx", names_ok,
        list(zero = c(1, 0), far = c(1e308, 1))),
    row("DbDescription", list(nx = c(3, 2)), "angles", names_ok,
        list(turn = c(360, 0), neg = c(0, -360))),
    row("DbDescription", list(coordinates = cbind(1:2, 3:4)), "coordinates", c("number", "over"),
        list(nan = c(1, NaN), above = c(1, 2e30), text = data.frame(x = "a"),
             cube = array(1, c(2, 2, 2)))),
    row("DbCompatible", list(db = DbDescription(nx = c(5, 4))), "db", extra = dbs),
    row("CreateFileForDb", list(db = DbDescription(nx = c(3, 2)), file = "New"), "db", extra = dbs),
    row("CreateFileForDb", list(db = DbDescription(nx = c(3, 2)), file = "New"),
        c("file", "allow_existing"))
  ), project)
  # Refusals the server or the File decide still name what was wrong, in a line.
  before <- orv_project_sum(project)
  cases <- list( # call, class (the record shows each message)
    list(quote(ReadFile("Samples", "Demo", "Mining", variables = paste0("v", 1:1e5))),
         "orvane_not_found"),
    list(quote(CopyDbToOrvane(1:5 + 0, "Short", file = "Samples")), "orvane_usage_error"),
    list(quote(ListStudies(new = "S", location = "/nonexistent/x")), "orvane_server_error"),
    list(quote(ListDirectories("Demo", new = "D", delete = "Gone")), "orvane_not_found"),
    list(quote(CreateFileForDb(DbDescription(nx = c(1000, 1000, 1000)), "Big", "Demo", "Mining")),
         "orvane_server_error"))
  said <- character(0)
  for (case in cases) {
    label <- deparse(case[[1]])[1]
    msg <- conditionMessage(expect_error(eval(case[[1]]), class = case[[2]], label = label))
    expect_true(length(msg) == 1L && validUTF8(msg) && nchar(msg) < 400, label = label)
    expect_identical(orv_project_sum(project), before, label = label)
    said <- c(said, paste0(label, ": ", msg))
  }
  orv_expect_record(said, "refusals-server")
})

test_that("the File functions refuse hostile names, frames and flags before anything is sent", {
  skip_if_not(orv_have_server())
  for (pkg in c("sf", "terra", "stars")) skip_if_not_installed(pkg)
  project <- local_orvane()
  frame <- data.frame(X = c(1, 2), Y = c(3, 4), V = c(5, 6))
  bytes <- hostile$bytes
  write <- list(data = frame, file = "New", study = "Demo", directory = "Mining")
  samples <- list(file = "Samples", study = "Demo", directory = "Mining")
  grid <- list(file = "Grid2D", variables = NULL, study = "Demo", directory = "Mining")
  frames <- list(
    bad_name = setNames(frame, c("X", "Y", bytes)),
    huge_name = setNames(frame, c("X", "Y", strrep("v", 1e5))),
    dup = setNames(cbind(frame, frame["V"]), c("X", "Y", "V", "V")), unnamed = unname(frame),
    rows = frame[0, ], list_col = data.frame(X = 1, Y = 2, V = I(list(1))),
    complex = data.frame(X = 1, Y = 2, V = 1i), date = data.frame(X = 1, Y = 2, V = Sys.Date()),
    text = data.frame(X = 1, Y = 2, V = "a"), factor = data.frame(X = 1, Y = 2, V = factor("a")),
    macro = setNames(frame, c("X", "Y", "Simu[xxxxx]")), unit = frame, no_xy = frame["V"]
  )
  units <- list(unit = bytes, unit_two = c("m", "m"), unit_long = "kilometres!", unit_ctl = "m\tx")
  for (u in names(units)) frames[[u]] <- transform(frame, V = structure(V, units = units[[u]]))
  values <- list(na_sel = c(TRUE, NA), inf = c(1, Inf), above = c(1, 2e30))
  for (v in names(values)) frames[[v]] <- transform(frame, V = values[[v]])
  pts <- sf::st_as_sf(frame, coords = c("X", "Y"))
  stars <- function(a, ...) stars::st_as_stars(list(V = a), dimensions = stars::st_dimensions(...))
  frames <- c(frames, list(
    two_x = cbind(frame, x = c(1, 2)), sf_x = transform(pts, x = 1),
    sf_line = sf::st_sf(V = 1, geometry = sf::st_sfc(sf::st_linestring(cbind(1:2, 3:4)))),
    stars_4d = stars(array(1, c(2, 2, 2, 2)), x = 1:2, y = 1:2, z = 1:2, t = 1:2),
    stars_uneven = stars(array(1, c(3, 2)), x = c(1, 2, 4), y = 1:2),
    stars_sheared = stars(array(1, c(2, 2)), x = 1:2, y = 1:2),
    stars_text = stars(array("a", c(2, 2)), x = 1:2, y = 1:2)))
  attr(attr(frames$stars_sheared, "dimensions"), "raster")$affine <- c(0.5, 0)
  lattices <- list(no_x = data.frame(X = c(1, NA), Y = 3:4, V = 5:6),
                   vast = data.frame(X = c(0, 1, 1e5), Y = c(0, 1, 1e5), V = 1:3),
                   holed = data.frame(X = c(1, 2, 1), Y = c(1, 1, 2), V = 1:3),
                   uneven = data.frame(X = c(0:4, 5.5), Y = 0, V = 1:6))
  expect_refusals(record = "files", list(
    row("ReadFile", samples, "file"),
    row("ReadFile", samples, "study", names_ok),
    row("ReadFile", samples, "variables", c("null", "two")),
    row("ReadFile", samples, "selection", names_ok, list(coordinate = "X", numbers = "Au")),
    row("AsSf", samples, "file", extra = list(grid = "Grid2D")),
    row("AsSpatRaster", grid, "file", extra = list(points = "Samples", turned = "Grid3D")),
    row("AsSpatRaster", grid, "variables", c("null", "two")),
    row("AsStars", grid, "directory", names_ok),
    row("WriteFile", write, "data", extra = frames),
    row("WriteFile", modifyList(write, list(file = "Grid2D")), "data",
        extra = list(small = terra::rast(nrows = 3, ncols = 3, vals = 1))),
    row("WriteFile", c(write, grid = TRUE), "data", names(hostile), lattices),
    row("DbDescription", list(coordinates = terra::rast(nrows = 2, ncols = 3)), "nx", names_ok),
    row("WriteFile", write, "file", extra = list(dots = "../..")),
    row("WriteFile", write, c("overwrite", "grid")),
    row("WriteFile", write, "coordinates", extra = list(same = c("X", "x"), missing = c("A", "B")))
  ), project)
})

test_that(paste("connections, dialogues and the sample project refuse hostile arguments without a",
                "connection"), {
  expect_false(IsConnectedOrvane())
  before <- orvanelink:::.server_pids()
  writable <- withr::local_tempdir()
  dotted <- withr::local_tempdir() # holds one hidden file
  file.create(file.path(dotted, ".keep"))
  expect_refusals(record = "connections", list(
    row("ConnectOrvane", list(), c("host", "run_server")),
    row("ConnectOrvane", list(), "port", c("null", "number"), list(zero = 0, high = 65536)),
    row("ConnectOrvane", list(run_server = TRUE, path = "p"), "server", names_ok,
        list(dir = writable)),
    row("ConnectOrvane", list(), "path", "empty"),
    row("ConnectOrvane", list(), "timeout", numbers_ok, list(zero = 0, day = 86400.5)),
    row("DisconnectOrvane", list(), "stop_server"),
    row("OrvaneSampleProject", list(), "dir", extra = list(full = dirname(writable), one = dotted)),
    row("ManageTarget", list(), "stop_level", numbers_ok, list(six = 6)),
    row("ManageTarget", list(), "db", names_ok,
        list(nodes = list(grid = TRUE, nx = c(1e5, 1e5, 1e5)))),
    row("ManageTarget", list(), "reset"),
    row("ReadVariable", list(), "orient", extra = list(zero = c(1, 0, 1))),
    row("WriteVariable", list(values = 1), "values", c("number", "na", "over")),
    row("WriteVariable", list(values = 1), "name", names_ok, list(dots = "a/..")),
    row("DesignateVariable", list(), "names", "two", list(with_na = c("a", NA, NA, NA)))
  ))
  # Nothing was launched, and OrvaneSampleProject() made no directory.
  expect_length(setdiff(orvanelink:::.server_pids(), before), 0L)
  expect_length(list.files(writable, all.files = TRUE, no.. = TRUE), 0L)
})

test_that("a path that is no project is refused as it was, and the launched server is stopped", {
  skip_if_not(orv_have_server())
  withr::local_envvar(c(VEK_TEST_IDLE_EXIT = "20", VEK_PROJECT_DIR = NA))
  before <- orvanelink:::.server_pids()
  plain <- withr::local_tempdir()
  dir.create(file.path(plain, "Folder"))
  writeLines("x", file.path(plain, "notes.txt"))
  for (path in c(plain, file.path(plain, "Folder"))) {
    listing <- list.files(path, recursive = TRUE, all.files = TRUE, include.dirs = TRUE)
    expect_error(ConnectOrvane(run_server = TRUE, path = path), "is not a project", fixed = TRUE,
                 class = "orvane_server_error")
    expect_identical(list.files(path, recursive = TRUE, all.files = TRUE, include.dirs = TRUE),
                     listing)
    expect_false(IsConnectedOrvane())
    expect_length(setdiff(orvanelink:::.server_pids(), before), 0L)
  }
})
