# Catalogue entry points and the definition, creation and deletion routines
# behind them, against a copy of the sample project (Study Demo, Directory
# Mining, Files Cores, Grid2D, Grid3D, Lines, Samples).

skip_if_not(orv_have_server())

test_that(paste("each listing call defines, creates and deletes as its arguments say, or says why",
                "not; None is no name"), {
  orv_connect(orv_project_copy())
  # Refusals say why; bad arguments end the call with an error the connection survives. The
  # record shows what each call writes and the error it ends with.
  cases <- list(
    list("IGetStudyList", "Extra", "", ""), list("IGetStudyList", "Demo", "x", ""),
    list("IGetStudyList", "", "", "Gone"),
    # An existing Directory accepted when allowed: not a word.
    list("ICreateDir", "Mining", "Demo", 1L), list("IGetDirList", strrep("a", 600), "", ""),
    list("IGetVariableList", "Demo", "Mining", c("Samples", "Grid3D"), ""),
    list("ICreateDir", "New", "Demo", "yes"),
    # NA is no answer to a yes/no flag: refused before anything is created.
    list("ICreateDir", "Other", "Demo", NA), list("SSetTimeout", 0),
    list("STestTranspose", 0L, c(1L, 1L), c(1L, 1L, 1L), 1), list("STestConvert", "nope", 1),
    list("SSetTimeout", 3e6),
    list("SManageTarget", 0L, 0L, NA, 1L, 0L, 0L, 0L, integer(0), numeric(0), numeric(0),
         numeric(0), numeric(0)))
  rec <- unlist(lapply(cases, function(case) {
    r <- orv_console(do.call(orv_call, case))
    c(call_text(case), sprintf("  said: %s", r$lines),
      paste("  error:", if (inherits(r$value, "error")) conditionMessage(r$value) else "none"))
  }))
  # Then what each step returns and the target after it.
  steps <- list(
    list("IGetStudyList", "", "", ""), list("IGetDirList", "Demo", "", ""),
    # A new Study needs a physical location.
    list("IGetStudyList", "Extra", "", ""),
    # An existing Study named for creation is accepted and becomes the target.
    list("IGetStudyList", "Demo", "elsewhere", ""), list("IGetStudyList", "Extra", "Extra", ""),
    list("IGetStudyList", "", "", "Extra"),
    # Creation comes before deletion within one call.
    list("IGetStudyList", "Brief", "Brief", "Brief"), list("IGetDirList", "Nope", "", ""),
    # An existing Directory named for creation is refused.
    list("IGetDirList", "Demo", "Mining", ""), list("IGetDirList", "Demo", "Work", ""),
    list("IGetDirList", "Demo", "Tmp", "Tmp"),
    # An empty Study name stands for the current Study.
    list("IGetDirList", "", "", "Work"), list("ICreateDir", "Mining", "Demo", 1L),
    list("ICreateDir", "Mining", "Demo", 0L),
    # The server's own refusal of a name is a failure too.
    list("ICreateDir", "a/b", "Demo", 0L), list("ICreateDir", "Fresh", "Demo", 0L),
    list("IGetSelectionList", "Demo", "Mining", "Samples"), list("STestDefine", 5L, "Cu", 1L),
    # Deleting a missing File clears the lower levels and fails.
    list("IGetFileList", "Demo", "Mining", "Missing"),
    list("IGetFileList", "Demo", "Mining", "Lines"),
    list("IGetSelectionList", "Demo", "Mining", "Grid3D"),
    list("IGetVariableList", "Demo", "Mining", "Grid3D", ""),
    list("IGetVariableList", "Demo", "Mining", "Samples", "Au"),
    list("IGetVariableList", "Demo", "Mining", "Samples", "Au"),
    list("IGetSelectionList", "Demo", "Mining", "Nofile"),
    # A character variable is not among the numeric ones; named for
    # creation, it is replaced by a numeric one.
    list("IGetSelectionList", "Demo", "Mining", "Grid3D"), list("STestDefine", 5L, "Lithology", 1L),
    list("STestDefine", 5L, "Lithology", 0L),
    list("IGetVariableList", "Demo", "Mining", "Grid3D", ""),
    list("STestDefine", 4L, "Grade", 0L), list("IGetSelectionList", "Demo", "Mining", "Grid3D"))
  for (s in steps) {
    r <- do.call(orv_call, s)
    target <- paste(orv_call("STestTarget", "reset", 100L)$names, collapse = " ")
    rec <- c(rec, labelled(call_text(s), r), paste("  target:", target))
  }
  orv_expect_record(squeezed(rec), "lists-steps")
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
