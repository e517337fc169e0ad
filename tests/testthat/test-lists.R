# Catalogue entry points and the definition, creation and deletion routines
# behind them, against a copy of the sample project (Study Demo, Directory
# Mining, Files Cores, Grid2D, Grid3D, Lines, Samples).

skip_if_not(orv_have_server())

target <- function() orv_call("STestTarget", "reset", 100L)$names

test_that("Studies: listing, a missing physical location, an existing name, creation and deletion", {
  project <- orv_project_copy()
  orv_connect(project)
  r <- orv_call("IGetStudyList", "", "", "")
  expect_equal(r, list(StudyList = "Demo", error = 0L))
  expect_equal(orv_call("IGetDirList", "Demo", "", "")$error, 0L)
  r <- orv_call("IGetStudyList", "Extra", "", "")
  expect_equal(r, list(StudyList = character(0), error = 1L))
  expect_equal(target(), rep("None", 5))
  # An existing Study named for creation is accepted and becomes the target.
  r <- orv_call("IGetStudyList", "Demo", "elsewhere", "")
  expect_equal(r, list(StudyList = "Demo", error = 0L))
  expect_equal(target()[1], "Demo")
  r <- orv_call("IGetStudyList", "Extra", "extra", "")
  expect_equal(r$StudyList, c("Demo", "Extra"))
  expect_equal(target()[1:2], c("Extra", "None"))
  r <- orv_call("IGetStudyList", "", "", "Extra")
  expect_equal(r, list(StudyList = "Demo", error = 0L))
  expect_equal(target(), rep("None", 5))
  # Creation comes before deletion within one call.
  r <- orv_call("IGetStudyList", "Brief", "brief", "Brief")
  expect_equal(r, list(StudyList = "Demo", error = 0L))

  out <- orv_dialogue(c(
    'invisible(.Call("IGetStudyList", "Extra", "", "", PACKAGE = "orvanelink"))',
    'invisible(.Call("IGetStudyList", "Demo", "x", "", PACKAGE = "orvanelink"))',
    'invisible(.Call("IGetStudyList", "", "", "Gone", PACKAGE = "orvanelink"))'), project = project)
  expect_true(any(out == "You must define the Physical Name"))
  expect_true(any(out == "The name 'Demo' already exists"))
  expect_true(any(out == "The name 'Gone' does not exist"))
})

test_that("Directories: an existing name is refused, new ones are created and deleted", {
  project <- orv_project_copy()
  orv_connect(project)
  expect_equal(orv_call("IGetDirList", "Demo", "Mining", ""), list(DirList = character(0), error = 1L))
  r <- orv_call("IGetDirList", "Demo", "Work", "")
  expect_equal(r, list(DirList = c("Mining", "Work"), error = 0L))
  expect_equal(target()[1:3], c("Demo", "Work", "None"))
  r <- orv_call("IGetDirList", "Demo", "Tmp", "Tmp")
  expect_equal(r, list(DirList = c("Mining", "Work"), error = 0L))
  expect_equal(orv_call("IGetDirList", "Nope", "", "")$error, 1L)
  # An empty Study name stands for the current Study.
  expect_equal(orv_call("IGetDirList", "", "", "")$DirList, c("Mining", "Work"))
  expect_equal(orv_call("IGetDirList", "", "", "Work")$DirList, "Mining")
})

test_that("ICreateDir accepts an existing Directory silently only when allowed", {
  project <- orv_project_copy()
  out <- orv_dialogue(c(orv_show_def,
    'r <- .Call("ICreateDir", "Mining", "Demo", 1L, PACKAGE = "orvanelink"); orv_show("allow", r$error)',
    'r <- .Call("STestTarget", "reset", 100L, PACKAGE = "orvanelink"); orv_show("target", r$names)',
    'r <- .Call("IGetDirList", "Demo", "", "", PACKAGE = "orvanelink"); orv_show("dirs", r$DirList)',
    'r <- .Call("ICreateDir", "Mining", "Demo", 0L, PACKAGE = "orvanelink"); orv_show("refuse", r$error)',
    'r <- .Call("ICreateDir", "Fresh", "Demo", 0L, PACKAGE = "orvanelink"); orv_show("fresh", r$error)',
    'r <- .Call("IGetDirList", "Demo", "", "", PACKAGE = "orvanelink"); orv_show("dirs2", r$DirList)'),
    project = project)
  first <- grep("ICreateDir", out)[1]
  # Nothing at all between the call and the next command.
  expect_equal(out[first + 1], "RESULT allow 0")
  expect_equal(orv_result(out, "allow"), "0")
  expect_equal(orv_result(out, "target"), "Demo,Mining,None,None,None")
  expect_equal(orv_result(out, "dirs"), "Mining")
  expect_true(any(out == "The name 'Mining' already exists"))
  expect_equal(c(orv_result(out, "refuse"), orv_result(out, "fresh")), c("1", "0"))
  expect_equal(orv_result(out, "dirs2"), "Fresh,Mining")
})

test_that("deleting a missing File clears the lower levels and fails", {
  project <- orv_project_copy()
  orv_connect(project)
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Samples"),
               list(SelectionList = "Inside", error = 0L))
  expect_equal(orv_call("STestDefine", 5L, "Cu", 1L)$error, 0L)
  expect_equal(target(), c("Demo", "Mining", "Samples", "None", "Cu"))
  r <- orv_call("IGetFileList", "Demo", "Mining", "Missing")
  expect_equal(r, list(FileList = character(0), error = 1L))
  expect_equal(target(), c("Demo", "Mining", "None", "None", "None"))
  r <- orv_call("IGetFileList", "Demo", "Mining", "Lines")
  expect_equal(r, list(FileList = c("Cores", "Grid2D", "Grid3D", "Samples"), error = 0L))
  out <- orv_dialogue(
    'invisible(.Call("IGetFileList", "Demo", "Mining", "Missing", PACKAGE = "orvanelink"))',
    project = project)
  expect_true(any(out == "The name 'Missing' does not exist"))
})

test_that("selections and variables are listed by path; a variable is deleted by name", {
  project <- orv_project_copy()
  orv_connect(project)
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Grid3D"),
               list(SelectionList = character(0), error = 0L))
  expect_equal(orv_call("IGetVariableList", "Demo", "Mining", "Grid3D", "")$VariableList,
               c("Grade", "Simu[xxxxx]"))
  r <- orv_call("IGetVariableList", "Demo", "Mining", "Samples", "Au")
  expect_equal(r, list(VariableList = c("Cu", "Inside"), error = 0L))
  expect_equal(orv_call("IGetVariableList", "Demo", "Mining", "Samples", "Au")$error, 1L)
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Nofile")$error, 1L)
})

test_that("the None selection clears the server's selection without looking for it", {
  project <- orv_project_copy()
  orv_connect(project)
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$error, 0L)
  expect_equal(orv_call("STestDefine", 4L, "Inside", 1L)[c("error", "sel_defined")],
               list(error = 0L, sel_defined = 1L))
  masked <- orv_call("CopyVariableI2Db", "Demo", "Mining", "Samples", "Inside", "Cu", 0L)$tab
  # In mode 1 a listed name must exist: "None" succeeding shows it was not looked up.
  r <- orv_call("STestDefine", 4L, "None", 1L)
  expect_equal(r, list(error = 0L, must_create = 0L, sel_defined = 0L))
  all <- orv_call("CopyVariableI2Db", "Demo", "Mining", "Samples", "None", "Cu", 0L)$tab
  expect_gt(sum(masked > 1e30), sum(all > 1e30))
  expect_equal(orv_call("STestDefine", 4L, "Nosel", 1L)$error, 1L)
})

test_that("creating a variable or selection replaces any variable of that name", {
  project <- orv_project_copy()
  orv_connect(project)
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Grid3D")$error, 0L)
  # Lithology is a character variable: not among the numeric ones.
  expect_equal(orv_call("STestDefine", 5L, "Lithology", 1L)$error, 1L)
  expect_equal(orv_call("STestDefine", 5L, "Lithology", 0L),
               list(error = 0L, must_create = 1L, sel_defined = 0L))
  expect_equal(orv_call("IGetVariableList", "Demo", "Mining", "Grid3D", "")$VariableList,
               c("Grade", "Simu[xxxxx]", "Lithology"))
  expect_equal(target()[5], "Lithology")
  expect_equal(orv_call("STestDefine", 4L, "Grade", 0L)[c("error", "sel_defined", "must_create")],
               list(error = 0L, sel_defined = 1L, must_create = 1L))
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Grid3D")$SelectionList, "Grade")
})

test_that("over-long and wrongly typed names, and NA flags, end the call with an error", {
  project <- orv_project_copy()
  out <- orv_dialogue(c(
    'f <- function(...) { r <- try(.Call(..., PACKAGE = "orvanelink"), silent = TRUE); cat("ERR", conditionMessage(attr(r, "condition")), "\\n") }',
    'f("IGetDirList", strrep("a", 600), "", "")',
    'f("IGetStudyList", 1, "", "")',
    'f("IGetVariableList", "Demo", "Mining", c("Samples", "Grid3D"), "")',
    'f("ICreateDir", "New", "Demo", "yes")',
    'f("ICreateDir", "Other", "Demo", NA)',
    'f("SManageTarget", 0L, 0L, NA, 1L, 0L, 0L, 0L, integer(0), numeric(0), numeric(0), numeric(0), numeric(0))',
    'r <- .Call("IGetDirList", "Demo", "", "", PACKAGE = "orvanelink"); cat("RESULT dirs", r$DirList, "\\n")'),
    project = project)
  expect_true(any(out == paste0("Name longer than 499 characters: '", strrep("a", 40), "...'")))
  expect_true(any(out == "Wrong type in RC_get_value_char (type=14)"))
  expect_true(any(out == "Wrong number of arguments in RC_get_value_char (2 > 1)"))
  expect_true(any(out == "Wrong type in RC_get_value_integer (type=16)"))
  expect_equal(sum(grepl("^ERR Abort caught by C and return to R", out)), 4)
  # NA is no answer to a yes/no flag: refused before anything is created.
  expect_true(all(paste0("ERR The '", c("allow existing", "reset"), "' flag must be TRUE or FALSE, not NA ") %in% out))
  # The connection survives the aborts.
  expect_true(any(out == "RESULT dirs Mining "))
})
