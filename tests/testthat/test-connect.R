# Connection and target state: console texts, the validity order, and the
# failures of the connection sequence.

skip_if_not(orv_have_server())

test_that(paste("without a connection every check says so, failed connections leave none, and",
                "a connection shows its target, refuses a second one and ends"), {
  # The record shows what each call returns and writes on the console.
  rec <- character(0)
  said <- function(label, r) c(labelled(label, r$value), sprintf("  said: %s", r$lines))
  cases <- list(
    quote(orv_call("SShowTarget")), quote(orv_call("IGetStudyList", "", "", "")),
    quote(orv_call("IGetDirList", "", "", "")), quote(orv_call("IGetFileList", "", "", "")),
    quote(orv_call("IGetSelectionList", "", "", "")),
    quote(orv_call("IGetVariableList", "", "", "", "")),
    quote(orv_call("IReadFile", "", "", "", "X", list(NULL))),
    quote(orv_call("ICreateDir", "D", "", 0L)),
    quote(orv_call("SDisconnectOrvane")),
    quote(orv_call("SConnectOrvane", "", "", "", 65536L, 0L, 0L)),
    # 65535 is a port: nothing listens there, but it is tried.
    quote(orv_call("SConnectOrvane", "", "", "", 65535L, 0L, 0L)),
    quote(orv_call("SConnectOrvane", strrep("p", 500), "", "", 0L, 0L, 0L)),
    quote(orv_call("SConnectOrvane", strrep("p", 499), "", "", 1L, 0L, 0L)),
    quote(orv_call("SConnectOrvane", "", strrep("s", 1024), "", 0L, 1L, 0L)),
    quote(orv_call("SConnectOrvane", "", "", strrep("h", 1024), 0L, 0L, 0L)),
    quote(orv_call("SConnectOrvane", "", "/nonexistent/VEKserver", "", 0L, 1L, 0L)),
    quote(orv_call("SIsConnected")))
  for (call in cases) rec <- c(rec, said(deparse1(call), orv_console(eval(call))))
  # Connecting, showing the target and its validity, connecting again and disconnecting.
  rec <- c(rec, said("connect", orv_console(orv_connect(orv_project_copy(), verbose = 1L))),
           "target:", target_lines())
  # Validity names the first missing level, never the Selection.
  validity <- function(modes) for (m in modes) {
    rec <<- c(rec, said(paste("validity", m), orv_console(orv_call("STestTarget", "validity", m))))
  }
  validity(0:5)
  orv_call("IGetDirList", "Demo", "", "")
  validity(1:2)
  orv_call("IGetSelectionList", "Demo", "Mining", "Samples")
  validity(2:5)
  # Resetting level 4 clears Selection and Variable and keeps the File.
  for (level in c(4L, 100L, 7L)) {
    rec <- c(rec, labelled(paste("reset", level), orv_call("STestTarget", "reset", level)))
  }
  orv_call("IGetFileList", "Demo", "Mining", "")
  # Connecting again keeps the connection and the target; the verbose flag
  # is the last call's, even one that was ignored.
  r <- orv_console(orv_call("SConnectOrvane", "", orv_server_bin(), "", 0L, 1L, 0L))
  rec <- c(rec, said("connect again", r), "target:", target_lines())
  rec <- c(rec, said("disconnect", orv_console(orv_call("SDisconnectOrvane"))), "target:",
           target_lines())
  rec <- gsub(orv_server_bin(), "<server>", rec, fixed = TRUE)
  orv_expect_record(squeezed(rec), "connect-states")
})
