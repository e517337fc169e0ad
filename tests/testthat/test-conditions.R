# Failures as classed conditions that carry their reason, output as R
# messages, the time limit of a silent server, and Ctrl-C during a wait.

test_that("every failure is a condition of its kind, of the user's call, in the user's words", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  local_orvane(project = project)
  kill_server <- quote(tools::pskill(orvanelink:::.server_pids(), tools::SIGKILL))
  too_long <- sprintf("Invalid name '%s': a name cannot be longer than 128 bytes", strrep("n", 128))
  cases <- list( # call, kind, start of the message's first line, then fields and a preparation
    list(quote(ListDirectories("Nope")), "not_found",
         "could not list the Directories of Study 'Nope': Study 'Nope' does not exist"),
    list(quote(CopyOrvaneToDb("Nope", "Demo", "Mining", "Grid3D")), "not_found",
         "could not read variable 'Nope' of File 'Grid3D': variable 'Nope' does not exist"),
    list(quote(ReadFile("Nope")), "not_found",
         "could not describe File 'Nope': File 'Nope' does not exist"),
    list(quote(CreateDirectory("Mining", "Demo")), "already_exists",
         "Directory 'Mining' already exists"),
    list(quote(CopyOrvaneToDb("Depth")), "not_found", "of the current File: no File is chosen",
         before = quote(ListFiles("Demo", "Mining", delete = "Grid2D"))),
    list(quote(CopyOrvaneToDb("Grade")), "not_found",
         "of the current File: File 'Grid3D' no longer exists",
         before = quote({ListVariables("Demo", "Mining", "Grid3D")
                         unlink(file.path(project, "Demo", "Mining", "Grid3D"),
                                recursive = TRUE)})),
    list(quote(ReadCoordinates()), "usage_error",
         "could not read the coordinates of the current File: no File is chosen",
         before = quote(ListDirectories("Demo", new = "Fresh"))),
    list(quote(ReadVariable()), "usage_error",
         "could not read variables of the current File: no File is chosen"),
    list(quote(ListDirectories("Demo", new = strrep("n", 129))), "server_error",
         paste("VEKserver refused:", too_long), server = too_long, code = 3L),
    list(quote(CopyOrvaneToDb(1)), "usage_error", "'variable' must be a character string",
         operation = "CopyOrvaneToDb"),
    list(quote(orvanelink::ReadFile(1)), "usage_error", "'file' must be a character string",
         operation = "ReadFile"),
    list(quote((function(v) CopyOrvaneToDb(v))(2)), "usage_error", "'variable' must be",
         operation = "CopyOrvaneToDb", call = quote(CopyOrvaneToDb(v))),
    list(quote(ManageTarget()), "connection_closed",
         paste("could not browse the project: VEKserver closed the connection;",
               "ConnectOrvane() connects again"),
         code = 2L, before = kill_server),
    list(quote(ListStudies()), "not_connected",
         "could not list the Studies: not connected to VEKserver: call ConnectOrvane() first"),
    # Port 1 on the loopback: nothing listens, the refusal is immediate.
    list(quote(ConnectOrvane("127.0.0.1", 1)), "communication_error",
         "could not connect to VEKserver on 127.0.0.1:1: nothing accepts connections there",
         code = 2L)
  )
  for (case in cases) {
    label <- deparse(case[[1]])
    if (!is.null(case$before)) suppressMessages(eval(case$before))
    t0 <- Sys.time()
    err <- expect_error(eval(case[[1]]), case[[3]], fixed = TRUE,
                        class = paste0("orvane_", case[[2]]), label = label)
    expect_identical(conditionCall(err),
                     if (is.null(case$call)) case[[1]] else case$call, label = label)
    expect_false(grepl("_vek_|'None'|\\(\\)[:,]", strsplit(conditionMessage(err), "\n")[[1]][1]),
                 label = label)
    if (!is.null(case$operation)) expect_identical(err$operation, case$operation, label = label)
    # identical(), not waldo: to waldo the text "NA" is the same as NA.
    expect_true(identical(err$server, if (is.null(case$server)) NA_character_ else case$server),
                label = paste(label, err$server))
    expect_identical(err$code, if (is.null(case$code)) NA_integer_ else case$code, label = label)
    expect_lt(as.numeric(Sys.time() - t0, units = "secs"), 5)
  }
  # The native layer's account keeps its lines; within them, controls show escaped.
  expect_identical(orvanelink:::.orvane_error("failure", "op", detail = c("a\nb\tc", "d"))$detail,
                   "a\nb<09>c\nd")
  # The session is free to connect again after its server died.
  local_orvane(project = project)
  expect_identical(ListStudies(), "Demo")
})

test_that("every kind of refusal the native layer records has a class of its own", {
  kinds <- c(orv_call("STestKinds"), "server", "timeout", "closed", "refused", "host", "launch")
  classes <- orvanelink:::.native_kinds[kinds]
  expect_false(anyNA(classes), label = paste(kinds[is.na(classes)], collapse = ", "))
  expect_false(any(classes == "failure"),
               label = paste(kinds[classes == "failure"], collapse = ", "))
})

test_that("each refusal the bridge records and each failure of the client reads as its reason", {
  br <- orvanelink:::.bridge_reason
  cr <- function(kind, server = "", text = character(0), context = "call") {
    out <- list(server = server, text = text, kind = rep("C", length(text)))
    orvanelink:::.client_reason(kind, out, context)
  }
  cases <- list(
    list(br("not_found", 0L, "X", FALSE, ""), "'X' does not exist"),
    list(br("already_exists", 6L, "X", TRUE, ""), "'X' already exists"),
    list(br("usage", 1L, "S", TRUE, "\n  first \nsecond"), "first"),
    list(br("other", 0L, "", FALSE, "text"), "text"),
    list(cr("server"), "VEKserver refused the request"),
    list(cr("closed", context = "connect"), "VEKserver closed the connection"),
    list(cr("refused", context = "launch"), paste("the launched program did not become a server:",
                                                  "no server answers on the port it was to serve")),
    list(cr("host"), "the host name is not known"), list(cr("memory"), "out of memory"),
    list(cr("usage", text = "VEKserver executable has not been found"),
         "VEKserver executable has not been found"),
    list(cr("usage", text = "_vek_run(): no"), "the client library refused the call"),
    list(cr("other"), "the exchange with VEKserver failed"))
  for (case in cases) expect_identical(case[[1]], case[[2]])
})

test_that("output arrives as R messages, and a question prints nothing", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  expect_silent(expect_false(IsConnectedOrvane()))
  cases <- list(
    list(quote(local_orvane(project = project, verbose = TRUE)), "Orvane is connected!"),
    list(quote(ConnectOrvane(verbose = TRUE)),
         "Orvane is already connected. 'ConnectOrvane()' is ignored."),
    list(quote(ShowTarget()), "Current Orvane Target"),
    list(quote(CopyDbToOrvane(1:20, "v", "Demo", "Mining", "Grid2D")),
         "- Number of samples   = 20"),
    # A mismatch answers FALSE and says why (and clears the File).
    list(quote({DescribeFile("Grid2D"); DbCompatible(DbDescription(nx = 2:3))}),
         paste("Incompatibility between Orvane and Db File Characteristics:",
               "Different layout: grid of 2 dimension(s) and 20 sample(s) (Orvane File),",
               "grid of 2 and 6 (Db)"))
  )
  for (case in cases) {
    seen <- capture.output(invisible(eval(case[[1]])), type = "message")
    expect_true(case[[2]] %in% seen, label = deparse(case[[1]]))
    expect_silent(suppressMessages(eval(case[[1]])))
  }
  expect_message(ShowTarget(), class = "orvane_message")
})

test_that("a server that never answers costs one time limit and says it timed out", {
  port <- local_silent_port()
  t0 <- Sys.time()
  expect_error(ConnectOrvane("127.0.0.1", port, timeout = 2), class = "orvane_communication_error",
               "did not answer within 2 s (timed out)", fixed = TRUE)
  expect_lt(as.numeric(Sys.time() - t0, units = "secs"), 4)
  expect_false(IsConnectedOrvane())
})

test_that("Ctrl-C during a wait on the server returns at once and the session goes on", {
  skip_if_not(orv_have_server())
  skip_if_not_installed("processx")
  port <- local_silent_port()
  big <- c("n <- c(1000, 1000, 10)",
           "CreateFileForDb(DbDescription(nx = n), 'Big', 'Demo', 'Mining'); v <- runif(prod(n))")
  next_call <- "r <- tryCatch(ListStudies(), orvane_not_connected = function(e) 'not connected')"
  cases <- list( # the project served, the setup, the call interrupted
    "stalled answer" = list(NULL, character(0), sprintf("ConnectOrvane('127.0.0.1', %d)", port)),
    "large transfer" = list(orv_project_copy(), big,
                            "repeat { CopyDbToOrvane(v, 'v'); x <- CopyOrvaneToDb('v') }")
  )
  for (name in names(cases)) {
    lines <- orv_interrupted(cases[[name]][[1]], cases[[name]][[2]], cases[[name]][[3]], after = 1,
                             after_lines = c(next_call, "cat('NEXT', r, '\\n')"))
    result <- strsplit(grep("^RESULT ", lines, value = TRUE), " ")[[1]]
    expect_identical(result[2], "interrupt", label = name)
    expect_lt(as.numeric(result[3]) - attr(lines, "sent"), 1)
    expect_true(grep("^NEXT ", lines, value = TRUE) %in% c("NEXT not connected ", "NEXT Demo "),
                label = name)
  }
})
