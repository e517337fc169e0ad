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
  # The Study menu with two Studies, creation and deletion offered.
  walk <- section(out, "walk")
  expect_equal(walk[2:13],
               c("", "Rank | Orvane Study", rule("Orvane Study"), "   1 | Beta", "   2 | Demo",
                 "     | ", " new | Create a new item", " del | Delete an item",
                 "help | Display the current list", "stop | Stop browsing",
                 "Enter your choice : 0", "The answer '0' is not valid"))
  # "2x" is refused as text; ".." is not offered at the Study level.
  expect_equal(walk[14:22], c("Enter your choice : 2x", "The answer '2x' is not valid",
                              "Enter your choice : ..", "Enter your choice : 2", "",
                              "Currently in : Demo/", "Rank | Orvane Directory",
                              rule("Orvane Directory"), "  .. | Return to upper level"))
  # "help" prints the menu again, without the path.
  expect_equal(c(sum(walk == "Rank | Orvane Directory"), sum(walk == "Currently in : Demo/")),
               c(2, 1))
  # stop_level 3: the walk ends once the File is chosen.
  expect_false(any(walk == "Rank | Orvane Selection"))
  expect_equal(target(out, "walk"), c("Demo", "Mining", "Grid3D", "(Not defined yet)",
                                      "(Not defined yet)"))

  # Without creation and deletion: "new" and "del" are ignored silently, the
  # Selection menu offers None as 0, ".." at the Variable level goes back to it.
  plain <- section(out, "plain")
  expect_false(any(plain %in% c(" new | Create a new item", " del | Delete an item")))
  expect_equal(plain[which(plain == "Enter your choice : new") + 1:2],
               c("Enter your choice : del", "Enter your choice : 2"))
  sel <- which(plain == "Rank | Orvane Selection")
  expect_length(sel, 2)
  expect_equal(plain[sel[1] + -1:5], c("Currently in : Demo/Mining/Samples/",
                                       "Rank | Orvane Selection", rule("Orvane Selection"),
                                       "  .. | Return to upper level", "   0 | None",
                                       "   1 | Inside", "     | "))
  var <- which(plain == "Rank | Orvane Variable")
  expect_equal(plain[var[1] + 2:7], c("  .. | Return to upper level", "   1 | X", "   2 | Y",
                                      "   3 | Cu", "   4 | Au", "   5 | Inside"))
  expect_equal(target(out, "plain"), c("Demo", "Mining", "Samples", "Inside", "Cu"))

  # A File without selections: no Selection menu, no Selection in the target.
  nosel <- section(out, "nosel")
  expect_false(any(nosel == "Rank | Orvane Selection"))
  expect_equal(nosel[which(nosel == "Rank | Orvane Variable") - 1],
               "Currently in : Demo/Mining/Grid3D/")
  expect_equal(target(out, "nosel")[3:4], c("Grid3D", "(Not defined yet)"))

  # Levels defined by name are passed without a menu, on the items named.
  named <- section(out, "named")
  expect_false(any(startsWith(named, "Rank |")))
  expect_equal(target(out, "named")[1:3], c("Demo", "Mining", "Samples"))
  # stop_level 0 still runs the Study level and ends after it.
  zero <- section(out, "zero")
  expect_false(any(zero == "Rank | Orvane Directory"))
  expect_equal(target(out, "zero")[1:2], c("Demo", "(Not defined yet)"))
  # A Study gone from under the target undefines the whole target.
  expect_equal(unique(target(out, "gone")), "(Not defined yet)")
  expect_results(out, c(walk = "0", plain = "0", nosel = "1", named = "0", zero = "0"))
  # A Db variable chosen by rank: refused answers, "stop", an empty list.
  expect_true("You must define the Study first" %in% section(out, "nofile"))
  two <- section(out, "two")
  title <- "Loop for selecting Variable(s) to be copied from Db into Orvane"
  expect_equal(two[2:16],
               c("", title, strrep("=", nchar(title)), "", "Currently in : Demo/Mining/Samples/",
                 "Rank | Db Variable", rule("Db Variable"), "   1 | Va", "   2 | Vb", "   3 | Vc",
                 "     | ", "help | Display the current list", "stop | Stop browsing",
                 "Enter your choice : ..", "Enter your choice : new"))
  expect_equal(two[17:21], c("Enter your choice : 0", "The answer '0' is not valid",
                             "Enter your choice : 4", "The answer '4' is not valid",
                             "Enter your choice : 2"))
  empty <- section(out, "empty")
  expect_equal(sum(empty == "Rank | Db Variable"), 2)
  expect_true("The answer '1' is not valid" %in% empty)
  expect_results(out, c(nofile = "1,0,-1", two = "0,1,2", stop = "0,0,-1", empty = "0,0,-1"))
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

  create <- section(out, "create")
  prompts <- c("New Study Name ('stop' to cancel) : Demo", "The name 'Demo' already exists",
               "New Study Name ('stop' to cancel) : Gamma",
               "New Physical Study Location ('stop' to cancel) : Gamma")
  expect_equal(create[match(prompts[1], create) + 0:3], prompts)
  expect_true("New Directory Name ('stop' to cancel) : D1" %in% create)
  expect_true("New File Name ('stop' to cancel) : F1" %in% create)
  # The new grid File has its coordinates and no selection: the Variable
  # menu follows the File's creation directly.
  expect_false(any(create == "Rank | Orvane Selection"))
  expect_equal(create[match("New Variable Name ('stop' to cancel) : X", create) + 0:10],
               c("New Variable Name ('stop' to cancel) : X", "The name 'X' already exists",
                 "New Variable Name ('stop' to cancel) : V1",
                 "Bit Length (1,2,4,8,16,32 or 64 (Def=32) [1,64] : 3",
                 "Bit Length (1,2,4,8,16,32 or 64 (Def=32) [1,64] : ",
                 "Unit : ", "No default value provided", "Unit : m",
                 "Format: 0 (Decimal) 1 (Integer) 2 (Exponent) 3 (Free) (Def=0) [0,3] : ",
                 "Number of characters for printout (Def=10) [1,NA] : ",
                 "Number of decimal digits (Def=3) [0,NA] : "))
  expect_equal(target(out, "create"), c("Gamma", "D1", "F1", "(Not defined yet)", "V1"))
  expect_equal(emitted(out, "desc"), c(2, 6, 1, 5, 7, 2, 0.5, 3, 2))
  expect_true("V1" %in% strsplit(orv_result(out, "vars"), ",")[[1]])

  # "NA" as the rank to delete designates nothing and the menu asks again;
  # a declined Study deletion ends the walk.
  nodel <- section(out, "nodel")
  expect_equal(nodel[match("Rank of the item to be deleted [1,2] : NA", nodel) + 0:3],
               c("Rank of the item to be deleted [1,2] : NA", "No item designated for deletion",
                 "Enter your choice : del", "Rank of the item to be deleted [1,2] : 2"))
  expect_true("Confirm deletion  [y,n] : n" %in% nodel)

  # The Variable deleted, its menu shown again without it.
  expect_false("V1" %in% strsplit(orv_result(out, "vars2"), ",")[[1]])
  delvar <- section(out, "delvar")
  menus <- which(delvar == "Rank | Orvane Variable")
  expect_length(menus, 2)
  expect_equal(delvar[menus[2] + 3:5], c("   1 | X", "   2 | Y", "     | "))

  # File, Directory and Study deleted in turn, each menu shown again.
  deltree <- section(out, "deltree")
  expect_equal(sum(deltree == "Confirm deletion  [y,n] : y"), 3)
  expect_equal(sum(deltree == "Rank | Orvane Study"), 3)

  # A selection deleted from its menu; the File then has none and the walk
  # goes to the Variable menu directly.
  delsel <- section(out, "delsel")
  expect_equal(sum(delsel == "Rank | Orvane Selection"), 1)
  expect_equal(sum(delsel == "Rank | Orvane Variable"), 1)
  expect_results(out, c(create = "0", nodel = "1", deltree = "1", studies = "Demo", sels = "0"))
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
