# Connection and target state: console texts, the validity order, and the
# failures of the connection sequence.

show <- 'invisible(.Call("SShowTarget", PACKAGE = "orvanelink"))'
connect_call <- function(tag, args) {
  sprintf('r <- .Call("SConnectOrvane", %s, PACKAGE = "orvanelink"); orv_show("%s", r$error)', args, tag)
}

test_that("without a connection every check says so, and failed connections leave none", {
  skip_if_not(orv_have_server())
  out <- orv_dialogue(c(orv_show_def,
    'r <- .Call("SShowTarget", PACKAGE = "orvanelink"); orv_show("show", r$error)',
    'r <- .Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"); orv_show("list", c(length(r$StudyList), r$error))',
    'r <- .Call("SDisconnectOrvane", PACKAGE = "orvanelink"); orv_show("disc", r$error)',
    connect_call("port", '"", "", "", 65536L, 0L, 0L'),
    # 65535 is a port: nothing listens there, but it is tried.
    connect_call("last", '"", "", "", 65535L, 0L, 0L'),
    connect_call("path", 'strrep("p", 600), "", "", 0L, 0L, 0L'),
    connect_call("launch", '"", "/nonexistent/VEKserver", "", 0L, 1L, 0L'),
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    'r <- try(.Call("SConnectOrvane", c("a", "b"), "", "", 0L, 0L, 0L, PACKAGE = "orvanelink"), silent = TRUE); cat(class(r), "\\n")'))
  expect_equal(sum(out == "You must use the command 'ConnectOrvane' first"), 3)
  expect_false(any(grepl("Current Orvane Target", out)))
  expect_true("Orvane is already disconnected. Nothing done." %in% out)
  expect_true("The port number 65536 is not valid (at most 65535)" %in% out)
  expect_false(any(grepl("port number 65535", out)))
  expect_true("The initialisation path is longer than 499 characters" %in% out)
  expect_true("Wrong number of arguments in RC_get_value_char (2 > 1)" %in% out)
  expect_true("try-error " %in% out)
  results <- sapply(c("show", "list", "disc", "port", "last", "path", "launch", "is"), function(t) orv_result(out, t))
  expect_equal(unname(results), c("1", "0,1", "0", "1", "1", "1", "1", "1"))
})

test_that("connecting, showing the target, connecting again and disconnecting", {
  skip_if_not(orv_have_server())
  out <- orv_dialogue(c(orv_show_def, show,
    'invisible(.Call("IGetFileList", "Demo", "Mining", "", PACKAGE = "orvanelink"))', show,
    connect_call("again", sprintf('"", "%s", "", 0L, 1L, 0L', orv_server_bin())), show,
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    'r <- .Call("SDisconnectOrvane", PACKAGE = "orvanelink"); orv_show("disc", r$error)', show),
    project = orv_project_copy(), verbose = 1L)
  expect_equal(out[orv_line(out, "VEK.INIT = ") + 0:5],
               c("VEK.INIT = ", paste0("VEK.SERVER = ", orv_server_bin()), "Hostname = localhost",
                 "Launching VEKserver...", "Connecting to Orvane file system...", "Orvane is connected!"))
  first <- which(out == "Current Orvane Target")
  expect_length(first, 3)
  expect_equal(out[first[1] + (-1:6)],
               c("", "Current Orvane Target", "---------------------",
                 "Study     : (Not defined yet)", "Directory : (Not defined yet)",
                 "File      : (Not defined yet)", "Selection : (Not defined yet)",
                 "Variable  : (Not defined yet)"))
  expect_equal(out[first[2] + 2:4], c("Study     : Demo", "Directory : Mining", "File      : (Not defined yet)"))
  # Connecting again keeps the connection and the target; the verbose flag
  # is the last call's, even one that was ignored.
  expect_true("Orvane is already connected. 'ConnectOrvane()' is ignored." %in% out)
  expect_equal(out[first[3] + 2:3], c("Study     : Demo", "Directory : Mining"))
  expect_false(any(out %in% c("Disconnecting from Orvane file system...", "Orvane is disconnected!")))
  expect_equal(c(orv_result(out, "again"), orv_result(out, "is"), orv_result(out, "disc")), c("0", "0", "0"))
  expect_equal(out[length(out) - 1], "You must use the command 'ConnectOrvane' first")
})

test_that("the validity check names the first missing level, never the Selection", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  v <- function(modes) sapply(modes, function(m) orv_call("STestTarget", "validity", m)$error)
  expect_equal(v(0:1), c(0L, 1L))
  orv_call("IGetDirList", "Demo", "", "")
  expect_equal(v(1:2), c(0L, 1L))
  orv_call("IGetSelectionList", "Demo", "Mining", "Samples")
  expect_equal(v(2:5), c(0L, 0L, 0L, 1L))
  out <- orv_dialogue(c(
    'for (m in 1:5) invisible(.Call("STestTarget", "validity", m, PACKAGE = "orvanelink"))',
    'invisible(.Call("IGetSelectionList", "Demo", "Mining", "Samples", PACKAGE = "orvanelink"))',
    'for (m in 3:5) invisible(.Call("STestTarget", "validity", m, PACKAGE = "orvanelink"))'),
    project = project)
  expect_equal(grep("^You must", out, value = TRUE),
               c(rep("You must define the Study first", 5), "You must define the Variable first"))
  # Resetting level 4 clears Selection and Variable and keeps the File.
  r <- orv_call("STestTarget", "reset", 4L)
  expect_equal(r[c("names", "ranks")], list(names = c("Demo", "Mining", "Samples", "None", "None"),
                                            ranks = c(1L, 1L, 1L, -1L, -1L)))
  expect_equal(orv_call("STestTarget", "reset", 100L)$names[3], "Samples")
  expect_equal(orv_call("STestTarget", "reset", 7L)$names, rep("None", 5))
})
