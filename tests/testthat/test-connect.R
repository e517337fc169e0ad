# Connection and target state: console texts, the validity order, and the
# failures of the connection sequence.

show <- 'invisible(.Call("SShowTarget", PACKAGE = "orvanelink"))'

test_that("without a connection every check says so and disconnecting does nothing", {
  out <- orv_dialogue(c(orv_show_def,
    'r <- .Call("SShowTarget", PACKAGE = "orvanelink"); orv_show("show", r$error)',
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    'r <- .Call("SDisconnectOrvane", PACKAGE = "orvanelink"); orv_show("disc", r$error)',
    'r <- .Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"); orv_show("list", length(r$StudyList)); orv_show("le", r$error)'))
  expect_equal(sum(out == "You must use the command 'ConnectOrvane' first"), 3)
  expect_false(any(grepl("Current Orvane Target", out)))
  expect_true(any(out == "Orvane is already disconnected. Nothing done."))
  expect_equal(c(orv_result(out, "show"), orv_result(out, "is"), orv_result(out, "disc"),
                 orv_result(out, "list"), orv_result(out, "le")), c("1", "1", "0", "0", "1"))
})

test_that("connecting, showing the target, connecting again and disconnecting", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  out <- orv_dialogue(c(orv_show_def, show,
    'invisible(.Call("IGetFileList", "Demo", "Mining", "", PACKAGE = "orvanelink"))', show,
    sprintf('r <- .Call("SConnectOrvane", "", "%s", "", 0L, 1L, 0L, PACKAGE = "orvanelink"); orv_show("again", r$error)',
            orv_server_bin()),
    show,
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    'r <- .Call("SDisconnectOrvane", PACKAGE = "orvanelink"); orv_show("disc", r$error)', show),
    project = project, verbose = 1L)
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
  expect_equal(out[first[2] + 2:6],
               c("Study     : Demo", "Directory : Mining", "File      : (Not defined yet)",
                 "Selection : (Not defined yet)", "Variable  : (Not defined yet)"))
  # Connecting again keeps the connection and the target.
  expect_true(any(out == "Orvane is already connected. 'ConnectOrvane()' is ignored."))
  expect_equal(out[first[3] + 2:3], c("Study     : Demo", "Directory : Mining"))
  expect_equal(orv_result(out, "again"), "0")
  expect_equal(orv_result(out, "is"), "0")
  # The verbose flag is the last connection call's, even one that was ignored.
  expect_false(any(out == "Disconnecting from Orvane file system..."))
  expect_false(any(out == "Orvane is disconnected!"))
  expect_equal(orv_result(out, "disc"), "0")
  # Disconnected: the last show only prints the connection message.
  expect_equal(out[length(out) - 1], "You must use the command 'ConnectOrvane' first")
})

test_that("the validity check names the first missing level, never the Selection", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  orv_connect(project)
  v <- function(mode) orv_call("STestTarget", "validity", mode)$error
  expect_equal(v(0L), 0L)
  expect_equal(v(1L), 1L)
  expect_equal(orv_call("IGetDirList", "Demo", "", "")$error, 0L)
  expect_equal(c(v(1L), v(2L)), c(0L, 1L))
  expect_equal(orv_call("IGetSelectionList", "Demo", "Mining", "Samples")$error, 0L)
  expect_equal(c(v(2L), v(3L), v(4L), v(5L)), c(0L, 0L, 0L, 1L))
  out <- orv_dialogue(c(
    'for (m in 1:5) invisible(.Call("STestTarget", "validity", m, PACKAGE = "orvanelink"))',
    'invisible(.Call("IGetSelectionList", "Demo", "Mining", "Samples", PACKAGE = "orvanelink"))',
    'for (m in 3:5) invisible(.Call("STestTarget", "validity", m, PACKAGE = "orvanelink"))'),
    project = project)
  msgs <- grep("^You must", out, value = TRUE)
  expect_equal(msgs, c(rep("You must define the Study first", 5), "You must define the Variable first"))
  # Resetting level 4 clears Selection and Variable and keeps the File.
  r <- orv_call("STestTarget", "reset", 4L)
  expect_equal(r$names, c("Demo", "Mining", "Samples", "None", "None"))
  expect_equal(r$ranks, c(1L, 1L, 1L, -1L, -1L))
  expect_equal(orv_call("STestTarget", "reset", 100L)$names[3], "Samples")
  expect_equal(orv_call("STestTarget", "reset", 7L)$names, rep("None", 5))
})

test_that("failed connections report error 1 and leave the bridge disconnected", {
  skip_if_not(orv_have_server())
  out <- orv_dialogue(c(orv_show_def,
    'r <- .Call("SConnectOrvane", "", "", "", 70000L, 0L, 0L, PACKAGE = "orvanelink"); orv_show("port", r$error)',
    'r <- .Call("SConnectOrvane", strrep("p", 600), "", "", 0L, 0L, 0L, PACKAGE = "orvanelink"); orv_show("path", r$error)',
    'r <- .Call("SConnectOrvane", "", "/nonexistent/VEKserver", "", 0L, 1L, 0L, PACKAGE = "orvanelink"); orv_show("launch", r$error)',
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    'r <- try(.Call("SConnectOrvane", c("a", "b"), "", "", 0L, 0L, 0L, PACKAGE = "orvanelink"), silent = TRUE); cat(class(r), "\\n")'),
    timeout = 60)
  expect_true(any(out == "The port number 70000 is not valid (at most 65535)"))
  expect_true(any(out == "The initialisation path is longer than 499 characters"))
  expect_equal(c(orv_result(out, "port"), orv_result(out, "path"), orv_result(out, "launch"),
                 orv_result(out, "is")), c("1", "1", "1", "1"))
  expect_true(any(out == "Wrong number of arguments in RC_get_value_char (2 > 1)"))
  expect_true(any(out == "try-error "))
})

test_that("disconnecting from a dead server leaves the bridge free to connect again", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  out <- orv_dialogue(c(orv_show_def,
    'pid <- system(paste("pgrep -x -P", Sys.getpid(), "VEKserver"), intern = TRUE)',
    'orv_show("servers", length(pid))',
    'tools::pskill(as.integer(pid), tools::SIGKILL); Sys.sleep(0.3)',
    'r <- .Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"); orv_show("dead", r$error)',
    'r <- .Call("SDisconnectOrvane", PACKAGE = "orvanelink"); orv_show("disc", r$error)',
    'r <- .Call("SIsConnected", PACKAGE = "orvanelink"); orv_show("is", r$error)',
    sprintf('r <- .Call("SConnectOrvane", "", "%s", "", 0L, 1L, 0L, PACKAGE = "orvanelink"); orv_show("again", r$error)',
            orv_server_bin()),
    'r <- .Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"); orv_show("list", r$StudyList)'),
    project = project)
  expect_equal(orv_result(out, "servers"), "1")
  expect_equal(c(orv_result(out, "dead"), orv_result(out, "disc"), orv_result(out, "is"),
                 orv_result(out, "again")), c("1", "0", "1", "0"))
  expect_false(any(grepl("already connected", out)))
  expect_equal(orv_result(out, "list"), "Demo")
})
