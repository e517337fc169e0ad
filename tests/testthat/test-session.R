# The session as a user at a terminal lives it: the launched server out of
# reach of the terminal's Ctrl-C and gone with a killed R, a server killed
# or frozen noticed and its connection closed, and launched programs that
# are not servers stopped with all they started.

skip_if_not(orv_have_server())
skip_if_not_installed("processx")

test_that("Ctrl-C at the terminal is for R: the launched server runs on and answers", {
  project <- orv_project_copy()
  out <- orv_dialogue(c(sprintf("ConnectOrvane(run_server = TRUE, path = '%s')", project),
                        "cat('BEFORE', orvanelink:::.server_pids(), '\\n')",
                        "Sys.sleep(20)", "\003",
                        "cat('AFTER', orvanelink:::.server_pids(), ListStudies(), '\\n')",
                        "DisconnectOrvane()"),
                      terminal = TRUE)
  before <- trimws(sub("^BEFORE ", "", grep("^BEFORE [0-9]+", out, value = TRUE)))
  expect_length(before, 1L)
  expect_true(paste("AFTER", before, "Demo ") %in% out, label = paste(out, collapse = "\n"))
})

# The next request noticing it instead is in test-conditions.R.
test_that("a server killed from outside is noticed without a request, and replaced at once", {
  project <- orv_project_copy()
  local_orvane(project = project)
  ListFiles("Demo", "Mining")
  pid <- orvanelink:::.server_pids()
  tools::pskill(pid, tools::SIGKILL)
  expect_true(orv_ended(pid))
  expect_false(IsConnectedOrvane())
  expect_error(ListFiles(), class = "orvane_not_connected")
  t0 <- Sys.time()
  local_orvane(project = project)
  expect_identical(ListStudies(), "Demo")
  expect_lt(as.numeric(Sys.time() - t0, units = "secs"), 3)
})

test_that("the launched server ends with its R, killed with SIGKILL or ending without a word", {
  project <- orv_project_copy()
  ends <- list( # ConnectOrvane()'s further arguments, the child's last line
    killed = list("", "Sys.sleep(60)"),
    # A server given its port has no control connection: the session's end stops it.
    quits = list(sprintf(", port = %d", orv_free_port()), "Sys.sleep(2)"))
  for (name in names(ends)) {
    connect <- sprintf("ConnectOrvane(run_server = TRUE, path = '%s'%s)", project,
                       ends[[name]][[1]])
    child <- orv_child_r(c("library(orvanelink)", connect,
                           "cat('PID', orvanelink:::.server_pids(), '\\n')", ends[[name]][[2]]),
                         "^PID [0-9]")
    pid <- as.integer(strsplit(grep("^PID [0-9]", child$output(), value = TRUE), " ")[[1]][2])
    expect_true(orv_alive(pid), label = name)
    if (name == "killed") child$proc$kill() else child$proc$wait(10000)
    expect_true(orv_ended(pid, 5), label = name)
  }
})

test_that(paste("a server frozen past the time limit loses its connection,",
                "and its late answer goes nowhere"), {
  project <- orv_project_copy()
  port <- orv_free_port()
  server <- processx::process$new(orv_server_bin(), c("-port", port),
                                  env = c("current", VEK_PROJECT_DIR = project,
                                          VEK_TEST_IDLE_EXIT = "20"))
  withr::defer(server$kill())
  connect <- function() {
    tryCatch(ConnectOrvane("127.0.0.1", port, timeout = 1), error = function(e) NULL)
  }
  for (i in 1:100) if (is.null(connect())) Sys.sleep(0.05) else break
  withr::defer(suppressMessages(DisconnectOrvane()))
  expect_identical(ListFiles("Demo", "Mining")[5], "Samples")
  server$suspend()
  t0 <- Sys.time()
  expect_error(CopyOrvaneToDb("Au", "Demo", "Mining", "Samples"),
               class = "orvane_timeout", fixed = TRUE,
               "VEKserver did not answer within 1 s (timed out), and the connection was closed")
  expect_lt(as.numeric(Sys.time() - t0, units = "secs"), 3)
  server$resume()
  Sys.sleep(0.5)
  expect_error(CopyOrvaneToDb("Cu", "Demo", "Mining", "Samples"), class = "orvane_not_connected")
  ConnectOrvane("127.0.0.1", port)
  cu <- stored_values(project, "Samples", "Cu")
  expect_identical(CopyOrvaneToDb("Cu", "Demo", "Mining", "Samples"), ifelse(cu > 1e30, NA, cu))
})

test_that("a launched program that does not become a server is stopped with all it started", {
  dir <- withr::local_tempdir()
  withr::local_envvar(c(VEK_PROJECT_DIR = NA, VEK_TEST_IDLE_EXIT = "20"))
  pids <- file.path(dir, "pids")
  stand_in <- function(name, ...) {
    path <- file.path(dir, name)
    writeLines(c("#!/bin/bash", sprintf("echo $$ >> '%s'", pids), ...), path)
    Sys.chmod(path, "755")
    path
  }
  report <- c('while [ $# -gt 0 ]; do [ "$1" = -control ] && ctl=$2; shift; done',
              "exec 3<>/dev/tcp/127.0.0.1/$ctl")
  cases <- list( # the program, the class, the start of the reason
    "never reports, with a child" = list(
      stand_in("sleeps", sprintf("sleep 60 & echo $! >> '%s'", pids), "sleep 60"),
      "orvane_communication_error", "the launched program did not become a server"),
    "reports port 0" = list(stand_in("zero", report, "printf '\\0\\0\\0\\0' >&3", "sleep 60"),
                            "orvane_communication_error",
                            "the launched program did not become a server"),
    "serves no project" = list(stand_in("bare", sprintf("exec '%s' \"$@\"", orv_server_bin())),
                               "orvane_server_error",
                               "the launched server serves no project: No project directory"))
  for (name in names(cases)) {
    unlink(pids)
    expect_error(ConnectOrvane(run_server = TRUE, server = cases[[name]][[1]], timeout = 5),
                 cases[[name]][[3]], fixed = TRUE, class = cases[[name]][[2]], label = name)
    expect_true(orv_ended(as.integer(readLines(pids)), 1), label = name)
    expect_false(IsConnectedOrvane())
  }
  # The bundled server is not even launched without a project.
  expect_error(ConnectOrvane(run_server = TRUE), class = "orvane_usage_error",
               "'path' must name the project")
})
