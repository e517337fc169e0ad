# Failures as classed conditions that carry their reason, output as R
# messages, the time limit of a silent server, and Ctrl-C during a wait.

test_that("every failure is a condition of its kind, of the user's call, in the user's words", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  local_orvane(project = project)
  kill_server <- quote(tools::pskill(orvanelink:::.server_pids(), tools::SIGKILL))
  # The record shows each condition's classes, message, call and fields.
  cases <- list( # the call, or the call and a preparation
    quote(ListDirectories("Nope")), quote(CopyOrvaneToDb("Nope", "Demo", "Mining", "Grid3D")),
    quote(ReadFile("Nope")), quote(CreateDirectory("Mining", "Demo")),
    list(quote(CopyOrvaneToDb("Depth")), quote(ListFiles("Demo", "Mining", delete = "Grid2D"))),
    list(quote(CopyOrvaneToDb("Grade")),
         quote({ListVariables("Demo", "Mining", "Grid3D")
                unlink(file.path(project, "Demo", "Mining", "Grid3D"), recursive = TRUE)})),
    list(quote(ReadCoordinates()), quote(ListDirectories("Demo", new = "Fresh"))),
    quote(ReadVariable()), quote(ListDirectories("Demo", new = strrep("n", 129))),
    quote(CopyOrvaneToDb(1)), quote(orvanelink::ReadFile(1)),
    quote((function(v) CopyOrvaneToDb(v))(2)), list(quote(ManageTarget()), kill_server),
    quote(ListStudies()),
    # Port 1 on the loopback: nothing listens, the refusal is immediate.
    quote(ConnectOrvane("127.0.0.1", 1)))
  rec <- character(0)
  for (case in cases) {
    if (is.list(case)) suppressMessages(eval(case[[2]]))
    call <- if (is.list(case)) case[[1]] else case
    t0 <- Sys.time()
    err <- expect_error(eval(call), class = "orvane_error", label = deparse1(call))
    expect_lt(as.numeric(Sys.time() - t0, units = "secs"), 5)
    expect_false(grepl("_vek_|'None'|\\(\\)[:,]", strsplit(conditionMessage(err), "\n")[[1]][1]),
                 label = deparse1(call))
    rec <- c(rec, labelled(deparse1(call), list(class = class(err), message = conditionMessage(err),
      call = conditionCall(err), operation = err$operation, server = err$server, code = err$code)))
  }
  orv_expect_record(squeezed(rec), "conditions-kinds")
  # The native layer's account keeps its lines; within them, controls show escaped.
  expect_identical(orvanelink:::.orvane_error("failure", "op", detail = c("a\nb\tc", "d"))$detail,
                   "a\nb<09>c\nd")
  # The client's own lines are titled as the client titles them on a console.
  out <- list(kind = c("M", "C", "D"), text = c("m\n", "c", "d"))
  expect_identical(orvanelink:::.output_text(out), "m\nVEKClient ERROR: c\nVEKClient Debug: d\n")
  # The session is free to connect again after its server died.
  local_orvane(project = project)
  expect_identical(ListStudies(), "Demo")
})

test_that("every kind of refusal the native layer records has a class of its own", {
  kinds <- c(orv_call("STestKinds"), "server", "timeout", "closed", "refused", "host", "launch")
  bad <- !(orvanelink:::.native_kinds[kinds] %in% setdiff(orvanelink:::.native_kinds, "failure"))
  expect_false(any(bad), label = paste(kinds[bad], collapse = ", "))
  # What the native layer said before an interrupt is not lost.
  said <- capture.output(type = "message", tryCatch(orvanelink:::.native({
    orv_call("STestMessages", "message", 0L, "kept")
    stop(structure(list(), class = c("interrupt", "condition")))}), interrupt = identity))
  expect_identical(said, "kept")
})

test_that("each refusal the bridge records and each failure of the client reads as its reason", {
  br <- orvanelink:::.bridge_reason
  cr <- function(kind, server = "", text = character(0), context = "call") {
    out <- list(server = server, text = text, kind = rep("C", length(text)))
    orvanelink:::.client_reason(kind, out, context)
  }
  # The record shows each reason as the user reads it.
  calls <- alist(br("not_found", 0L, "X", FALSE, ""), br("already_exists", 6L, "X", TRUE, ""),
                 br("usage", 1L, "S", TRUE, "\n  first \nsecond"),
                 br("other", 0L, "", FALSE, "text"), cr("server"),
                 cr("closed", context = "connect"), cr("refused", context = "launch"), cr("host"),
                 cr("memory"), cr("usage", text = "VEKserver executable has not been found"),
                 cr("usage", text = "_vek_run(): no"), cr("other"))
  orv_expect_record(vapply(calls, function(x) labelled(deparse1(x), eval(x)), ""),
                    "conditions-reasons")
})

test_that("output arrives as R messages, and a question prints nothing", {
  skip_if_not(orv_have_server())
  project <- orv_project_copy()
  expect_silent(expect_false(IsConnectedOrvane()))
  # The record shows what each call says, a mismatch saying why (and clearing the File).
  cases <- alist(local_orvane(project = project, verbose = TRUE), ConnectOrvane(verbose = TRUE),
                 ShowTarget(), CopyDbToOrvane(1:20, "v", "Demo", "Mining", "Grid2D"),
                 {DescribeFile("Grid2D"); DbCompatible(DbDescription(nx = 2:3))})
  said <- character(0)
  for (case in cases) {
    said <- c(said, deparse1(case), capture.output(invisible(eval(case)), type = "message"))
    expect_silent(suppressMessages(eval(case)))
  }
  orv_expect_record(gsub(orv_server_bin(), "<server>", said, fixed = TRUE), "conditions-messages")
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
