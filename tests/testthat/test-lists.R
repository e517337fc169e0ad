# Catalogue entry points and the definition, creation and deletion routines
# behind them, against a copy of the sample project (Study Demo, Directory
# Mining, Files Cores, Grid2D, Grid3D, Lines, Samples).

skip_if_not(orv_have_server())

test_that(paste("each listing call defines, creates and deletes as its arguments say, or says why",
                "not; None is no name"), {
  orv_connect(orv_project_copy())
  # Refusals say why; bad arguments end the call with an error the connection survives.
  cases <- list( # call, what it writes, the error it ends with (NA: none)
    list(list("IGetStudyList", "Extra", "", ""), "You must define the Physical Name"),
    list(list("IGetStudyList", "Demo", "x", ""), "The name 'Demo' already exists"),
    list(list("IGetStudyList", "", "", "Gone"), "The name 'Gone' does not exist"),
    # An existing Directory accepted when allowed: not a word.
    list(list("ICreateDir", "Mining", "Demo", 1L), character(0)),
    list(list("IGetDirList", strrep("a", 600), "", ""),
         paste0("Name longer than 499 characters: '", strrep("a", 40), "...'"),
         "Abort caught by C and return to R"),
    list(list("IGetVariableList", "Demo", "Mining", c("Samples", "Grid3D"), ""),
         "Wrong number of arguments in RC_get_value_char (2 > 1)",
         "Abort caught by C and return to R"),
    list(list("ICreateDir", "New", "Demo", "yes"), "Wrong type in RC_get_value_integer (type=16)",
         "Abort caught by C and return to R"),
    # NA is no answer to a yes/no flag: refused before anything is created.
    list(list("ICreateDir", "Other", "Demo", NA), character(0),
         "The 'allow existing' flag must be TRUE or FALSE, not NA"),
    list(list("SSetTimeout", 0), "Wrong time limit (0 s)", "Abort caught by C and return to R"),
    list(list("STestTranspose", 0L, c(1L, 1L), c(1L, 1L, 1L), 1),
         "STestTranspose needs three flags and three counts", "Abort caught by C and return to R"),
    list(list("STestConvert", "nope", 1), "Unknown conversion 'nope'",
         "Abort caught by C and return to R"),
    list(list("SSetTimeout", 3e6), "Wrong time limit (3e+06 s)",
         "Abort caught by C and return to R"),
    list(list("SManageTarget", 0L, 0L, NA, 1L, 0L, 0L, 0L, integer(0), numeric(0), numeric(0),
              numeric(0), numeric(0)),
         character(0), "The 'reset' flag must be TRUE or FALSE, not NA"))
  for (case in cases) {
    r <- orv_console(do.call(orv_call, case[[1]]))
    expect_equal(r$lines, case[[2]], label = case[[1]][[1]])
    expect_equal(if (inherits(r$value, "error")) conditionMessage(r$value) else NA,
                 if (length(case) > 2) case[[3]] else NA)
  }
  none <- rep("None", 5)
  steps <- list( # entry point and arguments, what it returns (the error alone, or all),
                 # the target after
    list(list("IGetStudyList", "", "", ""), list("Demo", 0L)),
    list(list("IGetDirList", "Demo", "", ""), list("Mining", 0L)),
    # A new Study needs a physical location.
    list(list("IGetStudyList", "Extra", "", ""), list(character(0), 1L), none),
    # An existing Study named for creation is accepted and becomes the target.
    list(list("IGetStudyList", "Demo", "elsewhere", ""), list("Demo", 0L),
         c("Demo", rep("None", 4))),
    list(list("IGetStudyList", "Extra", "Extra", ""), list(c("Demo", "Extra"), 0L),
         c("Extra", rep("None", 4))),
    list(list("IGetStudyList", "", "", "Extra"), list("Demo", 0L), none),
    # Creation comes before deletion within one call.
    list(list("IGetStudyList", "Brief", "Brief", "Brief"), list("Demo", 0L)),
    list(list("IGetDirList", "Nope", "", ""), list(character(0), 1L)),
    # An existing Directory named for creation is refused.
    list(list("IGetDirList", "Demo", "Mining", ""), list(character(0), 1L)),
    list(list("IGetDirList", "Demo", "Work", ""), list(c("Mining", "Work"), 0L),
         c("Demo", "Work", "None", "None", "None")),
    list(list("IGetDirList", "Demo", "Tmp", "Tmp"), list(c("Mining", "Work"), 0L)),
    # An empty Study name stands for the current Study.
    list(list("IGetDirList", "", "", "Work"), list("Mining", 0L)),
    list(list("ICreateDir", "Mining", "Demo", 1L), list(0L),
         c("Demo", "Mining", "None", "None", "None")),
    list(list("ICreateDir", "Mining", "Demo", 0L), list(1L)),
    # The server's own refusal of a name is a failure too.
    list(list("ICreateDir", "a/b", "Demo", 0L), list(1L)),
    list(list("ICreateDir", "Fresh", "Demo", 0L), list(0L)),
    list(list("IGetSelectionList", "Demo", "Mining", "Samples"), list("Inside", 0L)),
    list(list("STestDefine", 5L, "Cu", 1L), list(0L), c("Demo", "Mining", "Samples", "None", "Cu")),
    # Deleting a missing File clears the lower levels and fails.
    list(list("IGetFileList", "Demo", "Mining", "Missing"), list(character(0), 1L),
         c("Demo", "Mining", rep("None", 3))),
    list(list("IGetFileList", "Demo", "Mining", "Lines"),
         list(c("Cores", "Grid2D", "Grid3D", "Samples"), 0L)),
    list(list("IGetSelectionList", "Demo", "Mining", "Grid3D"), list(character(0), 0L)),
    list(list("IGetVariableList", "Demo", "Mining", "Grid3D", ""),
         list(c("Grade", "Simu[xxxxx]"), 0L)),
    list(list("IGetVariableList", "Demo", "Mining", "Samples", "Au"), list(c("Cu", "Inside"), 0L)),
    list(list("IGetVariableList", "Demo", "Mining", "Samples", "Au"), list(character(0), 1L)),
    list(list("IGetSelectionList", "Demo", "Mining", "Nofile"), list(character(0), 1L)),
    # A character variable is not among the numeric ones; named for
    # creation, it is replaced by a numeric one.
    list(list("IGetSelectionList", "Demo", "Mining", "Grid3D"), list(character(0), 0L)),
    list(list("STestDefine", 5L, "Lithology", 1L), list(1L)),
    list(list("STestDefine", 5L, "Lithology", 0L), list(0L, 1L, 0L),
         c("Demo", "Mining", "Grid3D", "None", "Lithology")),
    list(list("IGetVariableList", "Demo", "Mining", "Grid3D", ""),
         list(c("Grade", "Simu[xxxxx]", "Lithology"), 0L)),
    list(list("STestDefine", 4L, "Grade", 0L), list(0L, 1L, 1L)),
    list(list("IGetSelectionList", "Demo", "Mining", "Grid3D"), list("Grade", 0L)))
  for (i in seq_along(steps)) {
    s <- steps[[i]]
    r <- do.call(orv_call, s[[1]])
    expect_equal(if (length(s[[2]]) == 1) list(r$error) else unname(r), s[[2]], info = i)
    if (length(s) > 2) expect_equal(orv_call("STestTarget", "reset", 100L)$names, s[[3]], info = i)
  }
  # The None selection clears the server's selection without looking for it.
  orv_call("IGetSelectionList", "Demo", "Mining", "Samples")
  expect_equal(orv_call("STestDefine", 4L, "Inside", 1L)$sel_defined, 1L)
  masked <- orv_call("CopyVariableI2Db", "Demo", "Mining", "Samples", "Inside", "Cu", 0L)$tab
  # In mode 1 a listed name must exist: "None" succeeding shows it was not looked up.
  expect_equal(orv_call("STestDefine", 4L, "None", 1L),
               list(error = 0L, must_create = 0L, sel_defined = 0L))
  all <- orv_call("CopyVariableI2Db", "Demo", "Mining", "Samples", "None", "Cu", 0L)$tab
  expect_gt(sum(masked > 1e30), sum(all > 1e30))
  expect_equal(orv_call("STestDefine", 4L, "Nosel", 1L)$error, 1L)
})
