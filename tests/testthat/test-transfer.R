# Variables between R and the server: grid orders, undefined values, macro
# items, the designation and overwrite dialogues, and copies by name.

skip_if_not(orv_have_server())

test_that(paste("what R reads is what the server keeps (grid order, undefined values, macro",
                "items); copies create selections and variables, replacing names"), {
  project <- orv_project_copy()
  orv_connect(project)
  simu <- stored_values(project, "Grid3D", "Simu[xxxxx]")
  items <- lapply(0:2, function(i) server_to_db(simu[i * 24 + 1:24], c(4, 3, 2)))
  v <- c(NA, NaN, -Inf, 0, 1e-300, 1e30, 2e30, 7:11 + 0.5)
  expect_equal(copy_in("Samples", "Pts", v, unit = "g/t"), 0L)
  expect_equal(copy_in("Samples", "a/b", v), 1L) # a name the server refuses
  expect_match(paste(readLines(file.path(project, "Demo/Mining/Samples/file.json")), collapse = ""),
               '"name": "Pts"[^}]*"unit": "g/t"')
  grade <- server_to_db(stored_values(project, "Grid3D", "Grade"), c(4, 3, 2))
  cases <- list( # File, variable, macro item, values read
    list("Grid3D", "Grade", 0L, grade),
    list("Grid2D", "Depth", 0L,
         server_to_db(stored_values(project, "Grid2D", "Depth"), c(5, 4, 1))),
    # The item rank is ignored for a plain variable.
    list("Grid3D", "Grade", 7L, grade),
    list("Grid3D", "Simu[xxxxx]", 0L, unlist(items)),
    list("Grid3D", "Simu[xxxxx]", 2L, items[[2]]),
    list("Grid3D", "Simu[xxxxx]", 3L, items[[3]]),
    # NA is stored undefined and read back as the undefined value, NaN
    # passes unchanged, values beyond 1e30 are not the undefined value.
    list("Samples", "Pts", 0L, c(1.234e30, NaN, v[-(1:2)])),
    list("Samples", "Cu", 0L, replace(stored_values(project, "Samples", "Cu"), 5, 1.234e30)))
  for (case in cases) {
    r <- copy_out(case[[1]], case[[2]], item = case[[3]])
    expect_identical(r[c("tab", "error")], list(tab = case[[4]], error = 0L),
                     label = paste(case[1:3], collapse = " "))
  }
  disk <- stored_values(project, "Samples", "Pts")
  expect_true(disk[1] == 1.234e30 && is.nan(disk[2]))
  for (item in list(4L, -1L, NA_integer_)) {
    expect_identical(copy_out("Grid3D", "Simu[xxxxx]", item = item)[c("tab", "error")],
                     list(tab = numeric(0), error = 1L))
  }
  # Copies from R create selections and variables, replacing existing names.
  mask <- c(1, 0, 1, 1, 0, 0, 1, 1, 1, 0, NA, 1)
  v <- as.numeric(101:112)
  expect_equal(copy_in("Samples", "Cu2", v, sel = "Mask", selv = mask), 0L)
  expect_setequal(orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$SelectionList,
                  c("Inside", "Mask"))
  expect_identical(copy_out("Samples", "Mask")$tab, c(1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1))
  # Read under the new selection, unselected samples are undefined.
  expect_identical(copy_out("Samples", "Cu2", sel = "Mask")$tab, ifelse(mask %in% 1, v, 1.234e30))
  # A selection left on the server by an earlier read does not mask a copy.
  expect_equal(copy_out("Samples", "Cu", sel = "Inside")$error, 0L)
  expect_equal(copy_in("Samples", "Full", v, sel = "Mask2", selv = rep(1, 12)), 0L)
  expect_identical(copy_out("Samples", "Full")$tab, v)
  # An existing name of any kind is deleted and created again, no question
  # asked (a question here would meet the end of input and abort).
  expect_equal(copy_in("Samples", "Au", v * 2), 0L)
  expect_identical(copy_out("Samples", "Au")$tab, v * 2)
  expect_equal(copy_in("Samples", "Inside", v), 0L)
  expect_false("Inside" %in%
               orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$SelectionList)
  expect_equal(
    sum(orv_call("IGetVariableList", "Demo", "Mining", "Samples", "")$VariableList == "Au"), 1)
})

test_that("the designation loop, the overwrite question, and lengths refused before any change", {
  read <- bridge_line("r", '"SReadVariable", 1L, 1L, 1L',
                      "c(r$varname, r$nvar, r$flag.macro, length(r$tab), r$flag.continue, r$error)")
  write <- function(values, name) {
    bridge_line("w", sprintf('"SWriteVariable", 1L, 1L, 1L, %s, "%s"', values, name), "r$error")
  }
  to <- '"CopyVariableDb2I", "Demo", "Mining", "Samples",'
  from <- '"CopyVariableI2Db", "Demo", "Mining", "Samples",'
  out <- dialogue(c(
    bridge_line("nofile", '"SReadVariable", 1L, 1L, 1L', "r$error"),
    bridge_line("short", paste(to, '"None", "Au", "", as.numeric(1:11), NULL'), "r$error"),
    bridge_line("sel", paste(to, '"Inside", "Au", "", as.numeric(1:12), c(1, 0)'), "r$error"),
    bridge_line("au", paste(from, '"None", "Au", 0L'), "r$tab"),
    bridge_line("inside", paste(from, '"None", "Inside", 0L'), "r$tab"),
    'invisible(.Call("DbCreateFile", "Demo", "Mining", "Grid3D", PACKAGE = "orvanelink"))',
    bridge_line("long", '"SWriteVariable", 1L, 1L, 1L, as.numeric(1:25), "Grade"', "r$error"),
    bridge_line("none", '"SWriteVariable", 1L, 1L, 1L, as.numeric(1:24), ""', "r$error"),
    read, "5", "0", read, "5", "2",
    read, "6", read, "4", read, "5", "NA", read, "..", "0", "stop",
    write("as.numeric(1:24)", "Grade[1]"),
    write("rep(0, 24)", "Grade[1]"), "n",
    bridge_line("kept", '"CopyVariableI2Db", "", "", "", "None", "Grade_1_", 0L', "r$tab"),
    write("rep(5, 24)", "Grade_1_"), "y",
    bridge_line("over", '"CopyVariableI2Db", "", "", "", "None", "Grade_1_", 0L', "r$tab")),
    project = orv_project_copy())
  # Neither the variable nor the selection of the refused copies was touched.
  expect_equal(emitted(out, "au"), stored_values(orv_sample_project(), "Samples", "Au"))
  # The record shows: the refusals (an empty name with no Variable defined is
  # no name to write under); ".." and "0" refused in the menu, "stop" ending
  # the loop; a macro item read under the item's own name; Grade[1] created
  # as Grade_1_ without a question, an overwrite declined (no error, nothing
  # changed), then accepted.
  orv_expect_record(dialogue_lines(out), "transfer-designation")
})

test_that(paste("values cross exactly through every writer and every reader, whatever the grid's",
                "shape; variables written over or replaced; a File changed before a read"), {
  project <- orv_project_copy()
  orv_connect(project)
  # The R functions' reads put each piece in place as it arrives: eight X
  # slices at a time (one of them short at the end), or, where slices are
  # too long for that, pieces that start and end anywhere in a slice, along
  # Z or, for a 2-D grid, along Y.
  grids <- list(slices = c(100, 50, 200), long_slices = c(9, 260, 260), long_rows = c(9, 70000),
                few_nodes = c(3, 1, 2))
  for (g in names(grids)) {
    n <- grids[[g]]
    CreateFileForDb(DbDescription(nx = n), g, study = "Demo", directory = "Mining")
    # Values that 32 bits hold exactly, some undefined.
    v <- (seq_len(prod(n)) %% 65536) / 4 - 5000
    v[seq(2, length(v), by = 101)] <- NA
    flip <- if (length(n) == 3) as.vector(array(v, n)[n[1]:1, , n[3]:1])
            else as.vector(array(v, n)[n[1]:1, ])
    cases <- list(
      list(var = "Dbl", write = function() CopyDbToOrvane(v, "Dbl"), db = v),
      list(var = "Int", write = function() CopyDbToOrvane(as.integer(v * 4), "Int"), db = v * 4),
      list(var = "Old", write = function() copy_in(g, "Old", v), db = v),
      list(var = "Flip",
           write = function() orv_call("SWriteVariable", -1L, 1L, -1L, v, "Flip"), db = flip))
    for (case in cases) {
      what <- paste(g, case$var)
      case$write()
      disk <- stored_values(project, g, case$var)
      expect_identical(ifelse(disk > 1e30, NA, disk), db_to_server(case$db, n), info = what)
      expect_identical(CopyOrvaneToDb(case$var), case$db, info = what)
      expect_identical(copy_out(g, case$var)$tab,
                       ifelse(is.na(case$db), 1.234e30, case$db), info = what)
    }
    expect_identical(as.list(ReadFile(g)[c("Dbl", "Int", "Old", "Flip")]),
                     list(Dbl = v, Int = v * 4, Old = v, Flip = flip), info = g)
  }
  # A point File's values come in pieces too.
  CreateFileForDb(DbDescription(coordinates = cbind(1:3e5, 0)), "Many", "Demo", "Mining")
  v <- (seq_len(3e5) %% 65536) / 4
  CopyDbToOrvane(v, "V")
  expect_identical(CopyOrvaneToDb("V"), v)
  # A variable of the kind, bits and unit asked for is written over and keeps
  # its place in the File; anything else is replaced and comes last.
  v <- seq_len(12) / 4
  odd <- rep(c(TRUE, FALSE), 6)
  steps <- list(
    list(call = function() CopyDbToOrvane(v, "Au", "Demo", "Mining", "Samples", unit = "g/t",
                                          selection = "Inside", selection_values = odd),
         order = c("Cu", "Au", "Inside"), values = list(Au = v, Inside = as.double(odd))),
    list(call = function() CopyDbToOrvane(v * 2, "Cu", unit = "ppm"),
         order = c("Au", "Inside", "Cu"), values = list(Cu = v * 2)),
    list(call = function() CopyDbToOrvane(v * 3, "Inside"), order = c("Au", "Cu", "Inside"),
         values = list(Inside = v * 3)))
  for (i in seq_along(steps)) {
    steps[[i]]$call()
    expect_identical(ListVariables(), steps[[i]]$order, info = i)
    for (var in names(steps[[i]]$values)) {
      expect_identical(CopyOrvaneToDb(var), steps[[i]]$values[[var]], info = i)
    }
  }
  expect_identical(ListSelections(), character(0))
  expect_error(CopyDbToOrvane(v, "X"), "could not write variable 'X'")
  # A File that changed between its description and the read is not read past the vectors.
  expect_equal(orv_call("IDescribeFile", "Demo", "Mining", "Samples", 1L)$nech, 12L)
  # Another session makes Samples a File of 20 points meanwhile.
  dialogue(c("invisible(ListFiles('Demo', 'Mining', delete = 'Samples'))",
             paste0("WriteFile(data.frame(X = 1:20 + 0, Y = 1:20 + 0, Cu = 1:20 + 0), ",
                    "'Samples', 'Demo', 'Mining')")),
           project = project)
  read <- function() orv_call("IReadFile", "Demo", "Mining", "Samples", c("X", "Cu"),
                              list(NULL, NULL))
  res <- orv_console(read())
  expect_identical(res$value[c("values", "error")], list(values = list(), error = 1L))
  expect_true("The server sent 20 values of 'X' where the File has 12 samples" %in% res$lines,
              label = res$lines)
  expect_identical(read()$values, list(1:20 + 0, 1:20 + 0))
})

test_that("a path the server holds is reused only right after a call that ended well on it", {
  local_request_trace()
  full <- "CopyOrvaneToDb('Grade', 'Demo', 'Mining', 'Grid3D')"
  cases <- list( # what runs between two reads, the second read, and whether it sets the File
    list("nothing", "", "CopyOrvaneToDb('Grade')", 0),
    list("the same names", "", full, 0),
    list("a write", "CopyDbToOrvane(first, 'G2')", "CopyOrvaneToDb('Grade')", 0),
    list("a listing", "invisible(ListFiles('Demo', 'Mining'))", "CopyOrvaneToDb('Grade')", 1),
    list("a failed read", "try(CopyOrvaneToDb('Grade', file = 'Nope'), silent = TRUE)",
         "CopyOrvaneToDb('Grade')", 1),
    list("a reconnection", paste("DisconnectOrvane();", orv_connect_lines()), full, 1),
    list("another File", "invisible(DescribeFile('Samples'))",
         "CopyOrvaneToDb('Grade', file = 'Grid3D')", 1))
  lines <- unlist(lapply(seq_along(cases), function(i) c(
    sprintf("first <- %s", full), cases[[i]][[2]],
    traced_lines(sprintf("x <- %s", cases[[i]][[3]])),
    sprintf("emit('r%d', c(identical(x, first), sum(sent == 'CFILESET')))", i))))
  out <- dialogue(lines, project = orv_project_copy())
  for (i in seq_along(cases)) {
    expect_identical(orv_result(out, paste0("r", i)), sprintf("1,%d", cases[[i]][[4]]),
                     info = cases[[i]][[1]])
  }
})
