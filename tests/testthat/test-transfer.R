# Variables between R and the server: grid orders, undefined values, macro
# items, the designation and overwrite dialogues, and copies by name.

copy_in <- function(file, var, values, sel = "None", selv = NULL, unit = "") {
  orv_call("CopyVariableDb2I", "Demo", "Mining", file, sel, var, unit, values, selv)$error
}
copy_out <- function(file, var, sel = "None", item = 0L) {
  orv_call("CopyVariableI2Db", "Demo", "Mining", file, sel, var, item)
}

test_that("grid values cross in Db order, with the orientation flags of the write", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  n <- c(4, 3, 2)
  # Reading: the stored values are in server order; R receives Db order.
  r <- copy_out("Grid3D", "Grade")
  expect_equal(r$error, 0L)
  expect_identical(r$tab, server_to_db(stored_values(project, "Grid3D", "Grade"), n))
  expect_equal(sum(r$tab == 1.234e30), 3)

  # Writing with X and Z reversed: Db node (ix, iy, iz) lands on server node
  # (3 - ix, iy, 1 - iz). The name loses its brackets.
  v <- as.numeric(1:24) + 0.25
  expect_equal(orv_call("SWriteVariable", -1L, 1L, 0L, v, "Tst[1]")$error, 0L)
  expected <- as.vector(array(v, n)[4:1, , 2:1])
  expect_identical(stored_values(project, "Grid3D", "Tst_1_"), db_to_server(expected, n))
  expect_identical(copy_out("Grid3D", "Tst_1_")$tab, expected)
  # Y reversed alone, written over the same variable by name.
  expect_equal(copy_in("Grid3D", "Tst_1_", v), 0L)
  expect_equal(orv_call("SWriteVariable", 1L, 0L, 1L, v, "Other")$error, 0L)
  expect_identical(copy_out("Grid3D", "Other")$tab, as.vector(array(v, n)[, 3:1, ]))

  # A 2-D grid (NZ = 1) goes through the same reordering.
  r <- copy_out("Grid2D", "Depth")
  expect_identical(r$tab, server_to_db(stored_values(project, "Grid2D", "Depth"), c(5, 4, 1)))
})

test_that("points keep their order; NA is stored undefined and NaN passes unchanged", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  v <- c(NA, NaN, -Inf, 0, 1e-300, 1e30, 2e30, 7:11 + 0.5)
  expect_equal(copy_in("Samples", "Pts", v, unit = "g/t"), 0L)
  disk <- stored_values(project, "Samples", "Pts")
  expect_identical(disk[1], 1.234e30)
  expect_true(is.nan(disk[2]))
  back <- copy_out("Samples", "Pts")$tab
  expect_identical(back[1], 1.234e30)
  expect_true(is.nan(back[2]) && !identical(back[2], NA_real_))
  # Values beyond 1e30 are not the test value: they pass as they are.
  expect_identical(back[-(1:2)], v[-(1:2)])
  # The sample file's own undefined value reads back as 1.234e30 too.
  expect_identical(copy_out("Samples", "Cu")$tab[5], 1.234e30)
})

test_that("macro variables read whole item after item, or one item by rank; bad ranks refused", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  raw <- stored_values(project, "Grid3D", "Simu[xxxxx]")
  items <- lapply(0:2, function(i) server_to_db(raw[i * 24 + 1:24], c(4, 3, 2)))
  r <- copy_out("Grid3D", "Simu[xxxxx]", item = 0L)
  expect_equal(r$error, 0L)
  expect_identical(r$tab, unlist(items))
  expect_identical(copy_out("Grid3D", "Simu[xxxxx]", item = 2L)$tab, items[[2]])
  expect_identical(copy_out("Grid3D", "Simu[xxxxx]", item = 3L)$tab, items[[3]])
  for (item in list(4L, -1L, NA_integer_)) {
    r <- copy_out("Grid3D", "Simu[xxxxx]", item = item)
    expect_equal(r$error, 1L)
    expect_length(r$tab, 0)
  }
  # The item rank is ignored for a plain variable.
  expect_equal(copy_out("Grid3D", "Grade", item = 7L)$error, 0L)
})

test_that("copies from R create selections and variables, replacing existing names", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  mask <- c(1, 0, 1, 1, 0, 0, 1, 1, 1, 0, NA, 1)
  v <- as.numeric(101:112)
  expect_equal(copy_in("Samples", "Cu2", v, sel = "Mask", selv = mask), 0L)
  sels <- orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$SelectionList
  expect_setequal(sels, c("Inside", "Mask"))
  expect_identical(copy_out("Samples", "Mask")$tab, c(1, 0, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1))
  # Read under the new selection, unselected samples are undefined.
  under <- copy_out("Samples", "Cu2", sel = "Mask")$tab
  expect_identical(under[mask %in% 1], v[mask %in% 1])
  expect_true(all(under[!mask %in% 1] == 1.234e30))

  # A selection left on the server by an earlier read does not mask a copy:
  # every value of the Db is written.
  expect_equal(copy_out("Samples", "Cu", sel = "Inside")$error, 0L)
  expect_equal(copy_in("Samples", "Full", v, sel = "Mask2", selv = rep(1, 12)), 0L)
  expect_identical(copy_out("Samples", "Full")$tab, v)
  expect_equal(copy_in("Samples", "Full2", v), 0L)
  expect_identical(copy_out("Samples", "Full2")$tab, v)

  # An existing name of any kind is deleted and created again, no question
  # asked (a question here would meet the end of input and abort).
  expect_equal(copy_in("Samples", "Au", v * 2), 0L)
  expect_identical(copy_out("Samples", "Au")$tab, v * 2)
  expect_equal(copy_in("Samples", "Inside", v), 0L)
  expect_false("Inside" %in% orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$SelectionList)
  vars <- orv_call("IGetVariableList", "Demo", "Mining", "Samples", "")$VariableList
  expect_equal(sum(vars == "Au"), 1)
})

test_that("vectors whose length is not the File's sample count are refused before any change", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  out <- dialogue(c(
    'e <- .Call("CopyVariableDb2I", "Demo", "Mining", "Samples", "None", "Au", "", as.numeric(1:11), NULL, PACKAGE = "orvanelink"); emit("short", e$error)',
    'e <- .Call("CopyVariableDb2I", "Demo", "Mining", "Samples", "Inside", "Au", "", as.numeric(1:12), c(1, 0), PACKAGE = "orvanelink"); emit("sel", e$error)',
    'r <- .Call("CopyVariableI2Db", "Demo", "Mining", "Samples", "None", "Au", 0L, PACKAGE = "orvanelink"); emit("au", r$tab)',
    'r <- .Call("CopyVariableI2Db", "Demo", "Mining", "Samples", "None", "Inside", 0L, PACKAGE = "orvanelink"); emit("inside", r$tab)',
    'invisible(.Call("DbCreateFile", "Demo", "Mining", "Grid3D", PACKAGE = "orvanelink"))',
    'e <- .Call("SWriteVariable", 1L, 1L, 1L, as.numeric(1:25), "Grade", PACKAGE = "orvanelink"); emit("long", e$error)',
    'e <- .Call("SWriteVariable", 1L, 1L, 1L, as.numeric(1:24), "", PACKAGE = "orvanelink"); emit("none", e$error)'),
    project = project)
  expect_true(any(out == "The vector holds 11 values where the File 'Samples' has 12 samples"))
  expect_true(any(out == "The selection holds 2 values where the File 'Samples' has 12 samples"))
  expect_true(any(out == "The vector holds 25 values where the File 'Grid3D' has 24 samples"))
  expect_false(any(grepl("Overwrite", out)))
  # An empty name with no Variable defined is no name to write under.
  expect_true(any(out == "You must define the Variable first"))
  expect_equal(c(orv_result(out, "short"), orv_result(out, "sel"), orv_result(out, "long"),
                 orv_result(out, "none")), c("1", "1", "1", "1"))
  # Neither the variable nor the selection of the refused copies was touched.
  au <- as.numeric(strsplit(orv_result(out, "au"), ",")[[1]])
  expect_equal(au, readBin(file.path(orv_sample_project(), "Demo/Mining/Samples/Au.bin"), "double", 12,
                           endian = "little"))
  expect_equal(orv_result(out, "inside"), "0,0,0,1,1,1,1,1,1,0,0,0")
})

test_that("the designation loop reads variables and macro items; the overwrite question", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  read <- 'r <- .Call("SReadVariable", 1L, 1L, 1L, PACKAGE = "orvanelink"); emit("r", c(r$varname, r$nvar, r$flag.macro, length(r$tab), r$flag.continue, r$error))'
  write <- function(values, name) {
    sprintf('e <- .Call("SWriteVariable", 1L, 1L, 1L, %s, "%s", PACKAGE = "orvanelink"); emit("w", e$error)',
            values, name)
  }
  out <- dialogue(c(
    'r <- .Call("SReadVariable", 1L, 1L, 1L, PACKAGE = "orvanelink"); emit("nofile", r$error)',
    'invisible(.Call("DbCreateFile", "Demo", "Mining", "Grid3D", PACKAGE = "orvanelink"))',
    read, "5", "0",
    'emit("tab", r$tab)',
    read, "5", "2",
    'emit("tab2", r$tab)',
    read, "6",
    read, "4",
    read, "5", "NA",
    read, "..", "0", "stop",
    write("as.numeric(1:24)", "Grade[1]"),
    write("rep(0, 24)", "Grade[1]"), "n",
    'r <- .Call("CopyVariableI2Db", "", "", "", "None", "Grade_1_", 0L, PACKAGE = "orvanelink"); emit("kept", r$tab)',
    write("rep(5, 24)", "Grade_1_"), "y",
    'r <- .Call("CopyVariableI2Db", "", "", "", "None", "Grade_1_", 0L, PACKAGE = "orvanelink"); emit("over", r$tab)'),
    project = project)
  expect_equal(orv_result(out, "nofile"), "1")
  expect_true(any(out == "You must define the Study first"))
  title <- "Loop for selecting Variable(s) to be copied from Orvane into Db"
  expect_equal(sum(out == title), 6)
  first <- orv_line(out, title)
  expect_equal(out[first + 1], strrep("=", nchar(title)))
  menu <- orv_line(out, "Rank | Orvane Variable")
  expect_equal(out[menu + 1:10],
               c("-----|----------------", "   1 | X", "   2 | Y", "   3 | Z", "   4 | Grade",
                 "   5 | Simu[xxxxx]", "   6 | Lithology", "     | ", "help | Display the current list",
                 "stop | Stop browsing"))
  expect_true(any(out == "Enter the Macro index (0: all items) [0,3] : 0"))
  expect_true(any(out == "The (character) variable 'Lithology' cannot be read"))
  expect_true(any(out == "No Macro index given for 'Simu[xxxxx]' (0 to 3)"))
  # ".." and "0" are refused in this menu; "stop" ends the loop.
  expect_true(any(out == "The answer '0' is not valid"))
  expect_equal(orv_result(out, "r"),
               c("Simu[xxxxx],3,1,72,1,0", "Simu[00002],1,1,24,1,0", "Lithology,1,0,0,1,1",
                 "Grade,1,0,24,1,0", "Simu[xxxxx],1,0,0,1,1", "None,1,0,0,0,0"))
  raw <- stored_values(orv_sample_project(), "Grid3D", "Simu[xxxxx]")
  tab <- as.numeric(strsplit(orv_result(out, "tab"), ",")[[1]])
  expect_equal(tab, unlist(lapply(0:2, function(i) server_to_db(raw[i * 24 + 1:24], c(4, 3, 2)))))
  expect_equal(as.numeric(strsplit(orv_result(out, "tab2"), ",")[[1]]), tab[25:48])

  # Grade[1] is created as Grade_1_ without a question; declining the
  # overwrite changes nothing and is no error; accepting overwrites.
  expect_equal(sum(out == "The name 'Grade_1_' already exists"), 2)
  expect_true(any(out == "Overwrite  [y,n] : n"))
  expect_equal(orv_result(out, "w"), c("0", "0", "0"))
  expect_equal(orv_result(out, "kept"), paste(1:24, collapse = ","))
  expect_equal(orv_result(out, "over"), paste(rep(5, 24), collapse = ","))
})
