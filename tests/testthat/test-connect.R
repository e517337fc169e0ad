# Connection and target state: console texts, the validity order, and the
# failures of the connection sequence.

skip_if_not(orv_have_server())

test_that(paste("without a connection every check says so, failed connections leave none, and",
                "a connection shows its target, refuses a second one and ends"), {
  cases <- list( # call, error returned, console text (NA: none about it)
    list(quote(orv_call("SShowTarget")), 1L, "You must use the command 'ConnectOrvane' first"),
    list(quote(orv_call("IGetStudyList", "", "", "")), 1L,
         "You must use the command 'ConnectOrvane' first"),
    list(quote(orv_call("SDisconnectOrvane")), 0L, "Orvane is already disconnected. Nothing done."),
    list(quote(orv_call("SConnectOrvane", "", "", "", 65536L, 0L, 0L)), 1L,
         "The port number 65536 is not valid (at most 65535)"),
    # 65535 is a port: nothing listens there, but it is tried.
    list(quote(orv_call("SConnectOrvane", "", "", "", 65535L, 0L, 0L)), 1L, NA),
    list(quote(orv_call("SConnectOrvane", strrep("p", 500), "", "", 0L, 0L, 0L)), 1L,
         "The initialisation path is longer than 499 characters"),
    list(quote(orv_call("SConnectOrvane", strrep("p", 499), "", "", 1L, 0L, 0L)), 1L, NA),
    list(quote(orv_call("SConnectOrvane", "", strrep("s", 1024), "", 0L, 1L, 0L)), 1L,
         "The server program path is longer than 1023 characters"),
    list(quote(orv_call("SConnectOrvane", "", "", strrep("h", 1024), 0L, 0L, 0L)), 1L,
         "The host name is longer than 1023 characters"),
    list(quote(orv_call("SConnectOrvane", "", "/nonexistent/VEKserver", "", 0L, 1L, 0L)), 1L, NA),
    list(quote(orv_call("SIsConnected")), 1L, "You must use the command 'ConnectOrvane' first"))
  for (case in cases) {
    r <- orv_console(eval(case[[1]]))
    expect_equal(r$value$error, case[[2]], label = deparse(case[[1]]))
    if (!is.na(case[[3]])) expect_true(case[[3]] %in% r$lines, label = deparse(case[[1]]))
    else expect_false(any(grepl("longer than", r$lines)), label = deparse(case[[1]]))
    expect_false(any(grepl("port number 65535|Current Orvane Target", r$lines)))
  }
  # Connecting, showing the target and its validity, connecting again and disconnecting.
  project <- orv_project_copy()
  expect_equal(orv_console(orv_connect(project, verbose = 1L))$lines,
               c("VEK.INIT = ", paste0("VEK.SERVER = ", orv_server_bin()), "Hostname = localhost",
                 "Launching VEKserver...", "Connecting to Orvane file system...",
                 "Orvane is connected!"))
  expect_equal(target_lines(), c("", "Current Orvane Target", "---------------------",
                         "Study     : (Not defined yet)", "Directory : (Not defined yet)",
                         "File      : (Not defined yet)", "Selection : (Not defined yet)",
                         "Variable  : (Not defined yet)"))
  # Validity (modes' errors, lines written) names the first missing level, never the Selection.
  v <- function(modes) {
    r <- lapply(modes, function(m) orv_console(orv_call("STestTarget", "validity", m)))
    list(errors = sapply(r, function(x) x$value$error), lines = unlist(lapply(r, `[[`, "lines")))
  }
  expect_equal(v(0:5), list(errors = c(0L, rep(1L, 5)),
                            lines = rep("You must define the Study first", 5)))
  orv_call("IGetDirList", "Demo", "", "")
  expect_equal(v(1:2)$errors, c(0L, 1L))
  orv_call("IGetSelectionList", "Demo", "Mining", "Samples")
  expect_equal(v(2:5), list(errors = c(0L, 0L, 0L, 1L),
                            lines = "You must define the Variable first"))
  # Resetting level 4 clears Selection and Variable and keeps the File.
  r <- orv_call("STestTarget", "reset", 4L)
  expect_equal(r[c("names", "ranks")], list(names = c("Demo", "Mining", "Samples", "None", "None"),
                                            ranks = c(1L, 1L, 1L, -1L, -1L)))
  expect_equal(orv_call("STestTarget", "reset", 100L)$names[3], "Samples")
  expect_equal(orv_call("STestTarget", "reset", 7L)$names, rep("None", 5))
  orv_call("IGetFileList", "Demo", "Mining", "")
  # Connecting again keeps the connection and the target; the verbose flag
  # is the last call's, even one that was ignored.
  r <- orv_console(orv_call("SConnectOrvane", "", orv_server_bin(), "", 0L, 1L, 0L))
  expect_equal(list(r$value$error, r$lines),
               list(0L, "Orvane is already connected. 'ConnectOrvane()' is ignored."))
  expect_equal(target_lines()[4:6], c("Study     : Demo", "Directory : Mining",
                                      "File      : (Not defined yet)"))
  expect_equal(orv_console(orv_call("SDisconnectOrvane"))[c("value", "lines")],
               list(value = list(error = 0L), lines = character(0)))
  expect_equal(target_lines(), "You must use the command 'ConnectOrvane' first")
})
