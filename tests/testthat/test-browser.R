# The interactive browser: menu texts, answers refused or ignored, the walk
# between levels, creation and deletion through the dialogues, and the
# choice of a Db variable.

skip_if_not(orv_have_server())

test_that(paste("menus, refused and ignored answers, going up, levels passed without a menu, and",
                "a Db variable chosen by rank from a list handed by R"), {
  designate <- function(tag, names) {
    bridge_line(tag, paste('"SDesignateVariable",', names), "c(r$error, r$flag.continue, r$rank)")
  }
  project <- orv_project_copy()
  out <- dialogue(c(
    designate("nofile", 'c("Va", "Vb")'),
    'invisible(.Call("DbCreateFile", "Demo", "Mining", "Samples", PACKAGE = "orvanelink"))',
    designate("two", 'c("Va", "Vb", "Vc")'), "..", "new", "0", "4", "2",
    designate("stop", 'c("Va", "Vb", "Vc")'), "stop",
    designate("empty", "character(0)"), "help", "1", "stop",
    'invisible(.Call("IGetStudyList", "Beta", "Beta", "", PACKAGE = "orvanelink"))',
    manage("walk", 1, 1, 1, 3), "0", "2x", "..", "2", "help", "1", "3", show_tagged("walk"),
    manage("plain", 0, 0, 1, 5), "new", "del", "2", "1", "5", "0", "..", "1", "3",
    show_tagged("plain"),
    manage("nosel", 0, 0, 1, 5), "2", "1", "3", "stop", show_tagged("nosel"),
    'invisible(.Call("DbCreateFile", "Demo", "Mining", "Samples", PACKAGE = "orvanelink"))',
    manage("named", 0, 0, 0, 3), show_tagged("named"),
    manage("zero", 0, 0, 1, 0), "2", show_tagged("zero"),
    sprintf('invisible(file.rename("%s/Demo", "%s/Renamed"))', project, project),
    manage("gone", 0, 0, 0, 5), "stop", show_tagged("gone")),
    project = project)
  # The record shows: the Study menu with creation and deletion offered; "0"
  # and "2x" refused, ".." not offered at the Study level; "help" printing the
  # menu again without the path; "new" and "del" ignored when not offered;
  # None as Selection 0, ".." going back from the Variable menu; no Selection
  # menu for a File without selections; levels named passed without a menu;
  # stop_level 0 ending after the Study; a Study gone undefining the whole
  # target; and a Db variable chosen by rank, refused answers and an empty list.
  orv_expect_record(dialogue_lines(out), "browser-menus")
})

test_that("Study, Directory, File and Variable created through the dialogues, then deleted", {
  out <- dialogue(c(
    manage("create", 1, 1, 1, 5),
    "new", "Demo", "Gamma", "Gamma", "new", "D1", "new", "F1",
    "new", "X", "V1", "3", "", "", "m", "", "", "",
    show_tagged("create"),
    bridge_line("desc", '"DbCreateFile", "Gamma", "D1", "F1"',
                "c(r$ndim, r$nech, r$flag.grid, r$x0, r$dx, r$nx)"),
    bridge_line("vars", '"IGetVariableList", "Gamma", "D1", "F1", ""', "r$VariableList"),
    manage("nodel", 1, 1, 1, 5), "del", "NA", "del", "2", "n",
    manage("delvar", 1, 1, 1, 5), "2", "1", "1", "del", "3", "y", "stop",
    bridge_line("vars2", '"IGetVariableList", "Gamma", "D1", "F1", ""', "r$VariableList"),
    manage("deltree", 1, 1, 1, 5), "2", "1", "del", "1", "y", "..", "del", "1", "y", "..",
    "del", "2", "y", "stop",
    bridge_line("studies", '"IGetStudyList", "", "", ""', "r$StudyList"),
    manage("delsel", 1, 0, 1, 5), "1", "1", "5", "del", "1", "y", "stop",
    bridge_line("sels", '"IGetSelectionList", "Demo", "Mining", "Samples"',
                "length(r$SelectionList)")),
    project = orv_project_copy())

  # The record shows: names that exist asked again; the Variable menu right
  # after the new grid File (it has no selection); the new Variable's
  # questions; "NA" as the rank to delete designating nothing; a declined
  # Study deletion ending the walk; each menu shown again after a deletion;
  # the Variable menu right after the File's last selection is deleted.
  orv_expect_record(dialogue_lines(out), "browser-creation")
})

test_that("an over-long name is refused and asked again, whatever console reads it", {
  files <- bridge_line("files", '"IGetFileList", "Demo", "Mining", ""', "r$FileList")
  for (console in c("terminal", "pipe")) {
    out <- dialogue(c(manage("long", 0, 1, 1, 3), "1", "1", "new", strrep("n", 150), "stop", files),
                    orv_project_copy(), terminal = console == "terminal")
    # Refused once; the next line typed answers the question asked again.
    expect_equal(out[grep("^The answer is too long", out) + 1],
                 "New File Name ('stop' to cancel) : stop", info = console)
    expect_equal(orv_result(out, "files"), "Cores,Grid2D,Grid3D,Lines,Samples", info = console)
  }
})
