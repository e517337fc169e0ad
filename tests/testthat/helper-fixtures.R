# The fixtures of the R tests: a copy of the sample project, the reference
# server launched and stopped, a child R fed with a script, and readers of
# what the server keeps on disk.
#
# Console text written by the bridge goes straight to R's console writer,
# which neither sink() nor capture.output() see. Tests that check it, and
# every dialogue, therefore run a child R fed with a script on its standard
# input: the lines right after a .Call that asks questions are its answers,
# and the child's standard output shows each prompt followed by the answer.

orv_server_bin <- function() system.file("bin", "VEKserver", package = "orvanelink")

orv_sample_project <- function() system.file("extdata", "sample_project", package = "orvanelink")

orv_have_server <- function() {
  nzchar(orv_server_bin()) && dir.exists(orv_sample_project())
}

# A fresh copy of the sample project, removed when `env` ends.
orv_project_copy <- function(env = parent.frame()) {
  dest <- tempfile("orvproj")
  dir.create(dest)
  file.copy(list.files(orv_sample_project(), full.names = TRUE, all.files = TRUE, no.. = TRUE),
            dest, recursive = TRUE)
  withr::defer(unlink(dest, recursive = TRUE), envir = env)
  dest
}

# Environment handed to a child R or to a launched server: our library
# paths, the project to serve and an idle limit so that a server left behind
# by a crashed test ends by itself.
orv_child_env <- function(project = NULL) {
  env <- c(R_LIBS = paste(.libPaths(), collapse = .Platform$path.sep),
           VEK_TEST_IDLE_EXIT = "20")
  if (!is.null(project)) env <- c(env, VEK_PROJECT_DIR = project)
  env
}

# Lines that connect a child R to a server that it launches itself.
orv_connect_lines <- function(verbose = 0L) {
  sprintf('invisible(.Call("SConnectOrvane", "", "%s", "", 0L, 1L, %dL, PACKAGE = "orvanelink"))',
          orv_server_bin(), as.integer(verbose))
}

# A launched server outlives the R that started it. Each test run marks the
# servers it starts with a tag in their environment; the tag's servers still
# running afterwards are stopped.
orv_new_tag <- function() basename(tempfile("orvtag"))

orv_kill_servers <- function(tag) {
  if (is.null(tag)) return(invisible())
  pids <- suppressWarnings(tryCatch(
    system2("pgrep", c("-x", "VEKserver"), stdout = TRUE, stderr = FALSE),
    error = function(e) character()))
  for (pid in pids) {
    envs <- suppressWarnings(tryCatch(readBin(file.path("/proc", pid, "environ"), "raw", 1e6),
                                      error = function(e) raw()))
    envs[envs == as.raw(0)] <- as.raw(10)
    if (length(envs) && paste0("ORV_TEST_TAG=", tag) %in% strsplit(rawToChar(envs), "\n")[[1]]) {
      tools::pskill(as.integer(pid))
    }
  }
  invisible()
}

# Runs `lines` in a child R (after loading the package, and connecting when
# `project` is given) and returns its standard output and error as lines.
# With `terminal`, the lines are typed into an interactive R behind a
# pseudo-terminal instead, where R's line editor reads them.
orv_dialogue <- function(lines, project = NULL, connect = !is.null(project), verbose = 0L,
                         timeout = 60, terminal = FALSE) {
  prelude <- "suppressMessages(library(orvanelink))"
  if (connect) prelude <- c(prelude, orv_connect_lines(verbose))
  tag <- orv_new_tag()
  on.exit(orv_kill_servers(tag), add = TRUE)
  env <- c("current", orv_child_env(project), ORV_TEST_TAG = tag)
  if (terminal) return(orv_typed(c(prelude, lines), env, timeout))
  script <- tempfile(fileext = ".R")
  on.exit(unlink(script), add = TRUE)
  writeLines(c(prelude, lines), script)
  # Output goes to a file, not a pipe: a server launched by the child
  # inherits it, and a pipe would stay open until that server ends.
  output <- tempfile(fileext = ".txt")
  on.exit(unlink(output), add = TRUE)
  proc <- processx::process$new(file.path(R.home("bin"), "R"), c("--vanilla", "--no-save", "-q"),
                                stdin = script, stdout = output, stderr = "2>&1", env = env)
  proc$wait(timeout * 1000)
  if (proc$is_alive()) {
    proc$kill()
    stop("the child R did not finish within ", timeout, " seconds")
  }
  readLines(output, warn = FALSE)
}

# Types each line once the child shows a prompt, as a user would; a line
# "\003" is Ctrl-C, pressed a second after the line before, without waiting
# for a prompt. A server launched by the child holds the terminal open, so
# the end is a marker.
orv_typed <- function(lines, env, timeout) {
  proc <- processx::process$new(file.path(R.home("bin"), "R"), c("--vanilla", "--no-save", "-q"),
                                pty = TRUE, pty_options = list(echo = TRUE),
                                env = c(env, TERM = "dumb"))
  on.exit(proc$kill(), add = TRUE)
  deadline <- Sys.time() + timeout
  out <- ""
  clean <- function(x) gsub("\r|\033\\[[0-9;?]*[A-Za-z]", "", x)
  wait_for <- function(pattern) {
    new <- ""
    while (!grepl(pattern, clean(new))) {
      if (Sys.time() > deadline || !proc$is_alive()) {
        stop("the child R showed no '", pattern, "' within ", timeout, " seconds:\n", clean(out))
      }
      proc$poll_io(200)
      chunk <- proc$read_output()
      new <- paste0(new, chunk)
      out <<- paste0(out, chunk)
    }
  }
  for (line in c(lines, 'cat("END", "OF", "INPUT\\n")')) {
    if (identical(line, "\003")) {
      Sys.sleep(1)
      proc$write_input(line)
      next
    }
    wait_for("(> |: )$")
    proc$write_input(paste0(line, "\n"))
  }
  wait_for("END OF INPUT")
  strsplit(clean(out), "\n")[[1]]
}

# TRUE while the process runs (a zombie nobody has reaped has ended).
orv_alive <- function(pid) {
  stat <- suppressWarnings(tryCatch(readLines(file.path("/proc", pid, "stat"), warn = FALSE),
                                    error = function(e) ""))
  length(stat) == 1L && nzchar(stat) && !grepl("^[0-9]+ \\(.*\\) Z", stat)
}

# Waits up to `seconds` for the processes to end; TRUE when they all did.
orv_ended <- function(pids, seconds = 5) {
  for (i in seq_len(seconds * 20)) {
    if (!any(vapply(pids, orv_alive, TRUE))) return(TRUE)
    Sys.sleep(0.05)
  }
  FALSE
}

# Values a child printed with orv_show(): lines "RESULT <tag> <text>".
orv_result <- function(out, tag) {
  hit <- grep(paste0("^RESULT ", tag, " "), out, value = TRUE)
  sub(paste0("^RESULT ", tag, " "), "", hit)
}
# The one result of each tag named in `want`, against `want`.
expect_results <- function(out, want) {
  expect_identical(vapply(names(want), function(t) orv_result(out, t), ""), want)
}

# Child-side printer used in dialogue scripts (written as text).
orv_show_def <- c(
  paste0('orv_show <- function(tag, x) cat(sprintf("RESULT %s %s\\n", tag, ',
         'paste(if (is.character(x)) x else format(x, digits = 15), collapse = ",")))')
)

# What a bridge call writes on the console, kept in this process rather
# than written, as lines; and its value (an R error it raised is returned
# as the condition).
orv_console <- function(expr) {
  r <- orvanelink:::.native(expr)
  list(value = r$value, lines = strsplit(orvanelink:::.output_text(r$out), "\n", fixed = TRUE)[[1]])
}

# In-process connection to the reference server on `project`.
orv_connect <- function(project, env = parent.frame(), verbose = 0L) {
  tag <- orv_new_tag()
  withr::local_envvar(c(VEK_PROJECT_DIR = project, VEK_TEST_IDLE_EXIT = "20", ORV_TEST_TAG = tag),
                      .local_envir = env)
  res <- .Call("SConnectOrvane", "", orv_server_bin(), "", 0L, 1L, as.integer(verbose),
               PACKAGE = "orvanelink")
  withr::defer({
    .Call("SDisconnectOrvane", PACKAGE = "orvanelink")
    orv_kill_servers(tag)
  }, envir = env)
  res
}

orv_call <- function(name, ...) .Call(name, ..., PACKAGE = "orvanelink")

# A connection through the package's own functions to a server announcing
# `version` on `project` (a fresh copy of the sample project by default);
# the server is stopped when `env` ends. The idle limit ends a server that a
# crashed test would leave behind.
local_orvane <- function(env = parent.frame(), version = 1300030,
                         project = orv_project_copy(env), ...) {
  withr::local_envvar(c(VEK_TEST_IDLE_EXIT = "20", VEK_PROJECT_DIR = NA,
                        VEK_TEST_VERSION = as.character(as.integer(version))),
                      .local_envir = env)
  ConnectOrvane(run_server = TRUE, path = project, ...)
  withr::defer(suppressMessages(DisconnectOrvane()), envir = env)
  invisible(project)
}

# A port on the loopback where the kernel accepts connections that nobody
# ever answers; closed when `env` ends.
local_silent_port <- function(env = parent.frame()) {
  for (port in sample(20000:40000, 20)) {
    s <- tryCatch(serverSocket(port), error = function(e) NULL)
    if (!is.null(s)) {
      withr::defer(close(s), envir = env)
      return(port)
    }
  }
  skip("no free port on the loopback")
}

# A port that was free a moment ago, for a server to take.
orv_free_port <- function() {
  env <- new.env()
  port <- local_silent_port(env)
  suppressMessages(withr::deferred_run(env))
  port
}

# ---- Bridge calls in this R, shortened ----

# The target as SShowTarget prints it.
target_lines <- function() orv_console(orv_call("SShowTarget"))$lines
compatible <- function(d) {
  orv_call("SDbCompatible", d$ndim, d$nech, d$grid, d$nx, d$x0, d$dx, d$angle, d$coor)$error
}
create_file <- function(d, name, allow = 0L) {
  orv_call("ICreateFile", d$ndim, d$nech, d$grid, d$nx, d$x0, d$dx, d$angle, d$coor,
           name, "Demo", "Mining", allow)$error
}
describe_file <- function(file) orv_call("DbCreateFile", "Demo", "Mining", file)
conv <- function(which, value) orv_call("STestConvert", which, value)
tr <- function(mode, orient, nx, tab) orv_call("STestTranspose", mode, as.integer(orient),
                                               as.integer(nx), tab)
db <- function(ndim, nech, grid, nx = NULL, x0 = NULL, dx = NULL, angle = NULL, coor = NULL) {
  orv_call("STestFileFromDb", ndim, nech, grid, nx, x0, dx, angle, coor)
}
copy_in <- function(file, var, values, sel = "None", selv = NULL, unit = "") {
  orv_call("CopyVariableDb2I", "Demo", "Mining", file, sel, var, unit, values, selv)$error
}
copy_out <- function(file, var, sel = "None", item = 0L) {
  orv_call("CopyVariableI2Db", "Demo", "Mining", file, sel, var, item)
}

# ---- Dialogue lines, and readers of what a dialogue printed ----

# STestReaders asking one question, then the answers typed.
reader <- function(kind, question, flag_def, valdef, valmin = NULL, valmax = NULL,
                   answers = character()) {
  c(sprintf(paste0('r <- .Call("STestReaders", "%s", "%s", %dL, %s, %s, %s, ',
                   'PACKAGE = "orvanelink"); orv_show("value", r$value)'),
            kind, question, as.integer(flag_def),
            deparse(valdef), deparse(valmin), deparse(valmax)), answers)
}

# SManageTarget(delete, create, reset, stop_level) with a 2-D grid Db of
# 3 x 2 nodes as the description of any File created on the way.
manage <- function(tag, delete, create, reset, stop_level) {
  sprintf(paste0('e <- .Call("SManageTarget", %dL, %dL, %dL, %dL, 2L, 6L, 1L, c(3L, 2L), c(5, 7), ',
                 'c(2, 0.5), c(0, 0), NULL, PACKAGE = "orvanelink"); emit("%s", e$error)'),
          delete, create, reset, stop_level, tag)
}
# A bridge call whose result r is emitted as `what` under `tag`.
bridge_line <- function(tag, args, what) {
  sprintf('r <- .Call(%s, PACKAGE = "orvanelink"); emit("%s", %s)', args, tag, what)
}
show_tagged <- function(tag) {
  sprintf('invisible(.Call("SShowTarget", PACKAGE = "orvanelink")); cat("SHOWN %s\\n")', tag)
}

# Readers of the server's files, and dialogues that print values.

# The checksums of a project's files, the server's lock aside.
orv_project_sum <- function(project) {
  files <- list.files(project, recursive = TRUE, full.names = TRUE, all.files = TRUE)
  tools::md5sum(files[basename(files) != ".vek.lock"])
}

# The values of a variable as the server keeps them (server order): in its
# data file, or inline in the File's description, found there by name.
stored_values <- function(project, file, var) {
  dir <- file.path(project, "Demo", "Mining", file)
  js <- paste(readLines(file.path(dir, "file.json"), warn = FALSE), collapse = "\n")
  js <- gsub('"items": \\[[^]]*\\]', "", js)
  blocks <- regmatches(js, gregexpr("\\{[^{}]*\\}", js))[[1]]
  block <- blocks[grepl(sprintf('"name": "%s"', var), blocks, fixed = TRUE)]
  bytes <- if (grepl('"inline": "', block, fixed = TRUE)) {
    hex <- sub('.*"inline": "([0-9a-f]*)".*', "\\1", block)
    starts <- seq(1L, nchar(hex), by = 2L)
    as.raw(strtoi(substring(hex, starts, starts + 1L), 16L))
  } else {
    path <- file.path(dir, sub('.*"data": "([^"]+)".*', "\\1", block))
    readBin(path, "raw", file.size(path))
  }
  readBin(bytes, "double", length(bytes) / 8, endian = "little")
}

# Server order (Z fastest) of a grid of nx*ny(*nz) nodes given in Db order
# (X fastest), and back.
db_to_server <- function(v, n) as.vector(aperm(array(v, c(n, 1)[1:3]), c(3, 2, 1)))
server_to_db <- function(v, n) as.vector(aperm(array(v, rev(c(n, 1)[1:3])), c(3, 2, 1)))

# Child-side printer: values as R prints them alone, without padding.
emit_def <-
  'emit <- function(tag, x) cat(sprintf("RESULT %s %s\\n", tag, paste(x, collapse = ",")))'

# A dialogue whose script ends by disconnecting, so that the last call of
# the test is followed by an echoed line in the child's output.
dialogue <- function(lines, project = NULL, ...) {
  end <- if (!is.null(project)) 'invisible(.Call("SDisconnectOrvane", PACKAGE = "orvanelink"))'
  orv_dialogue(c(emit_def, lines, end), project, ...)
}

# Traces at level 2 for the test: the client's names each request it sends.
local_request_trace <- function(env = parent.frame()) {
  withr::local_envvar(VEK_SERVER_TRACE = "2",
                      VEK_CLIENT_TRACE_FILE = withr::local_tempfile(.local_envir = env),
                      VEK_SERVER_TRACE_FILE = withr::local_tempfile(.local_envir = env),
                      .local_envir = env)
}
# Dialogue lines that run `call` and leave in `sent` the keywords of the
# requests it sent, in order.
traced_lines <- function(call) {
  c("n0 <- length(readLines(Sys.getenv('VEK_CLIENT_TRACE_FILE')))", call,
    "sent <- readLines(Sys.getenv('VEK_CLIENT_TRACE_FILE'))[-seq_len(n0)]",
    "sent <- sub('.*Start Packet ', '', grep('Start Packet', sent, value = TRUE))")
}

# A dialogue's output after its prelude (loading, connecting, the printer's
# definition), for a record: the echoed calls label what follows them.
dialogue_lines <- function(out) out[-seq_len(grep("^> (emit|orv_show) <- function", out)[1])]

# A labelled line for a record: the value as R writes it, doubles to 17
# digits so that the record is exact.
labelled <- function(label, x) {
  paste0(label, ": ", deparse1(x, control = c("keepNA", "keepInteger", "niceNames", "digits17")))
}

# A bridge call given as its entry point's name and its arguments, written
# as R would write the call.
call_text <- function(args) {
  sprintf("%s(%s)", args[[1]], paste(vapply(args[-1], deparse1, ""), collapse = ", "))
}

# Runs of 20 or more of one character written "<count x char>", so that a
# record shows the length of a text cut to fit.
squeezed <- function(lines) {
  runs <- gregexpr("(.)\\1{19,}", lines)
  regmatches(lines, runs) <- lapply(regmatches(lines, runs), function(r) {
    sprintf("<%d x %s>", nchar(r), substr(r, 1, 1))
  })
  lines
}

# Numbers printed by emit().
emitted <- function(out, tag) as.numeric(strsplit(orv_result(out, tag), ",")[[1]])

# ---- Failures on purpose ----

# The storage fault shim (fixtures/fault_shim.c) built for this test run:
# with LD_PRELOAD, VEK_FAULT="call:pattern:errno" makes the server's calls
# of `call` on matching paths fail.
orv_fault_shim <- function() {
  so <- file.path(tempdir(), "orv_fault_shim.so")
  if (file.exists(so)) return(so)
  cc <- strsplit(system2(file.path(R.home("bin"), "R"), c("CMD", "config", "CC"), stdout = TRUE),
                 " +")[[1]]
  status <- suppressWarnings(system2(cc[1], c(cc[-1], "-shared", "-fPIC", "-o", so,
                                              test_path("fixtures", "fault_shim.c"), "-ldl"),
                                     stdout = FALSE, stderr = FALSE))
  if (!identical(as.integer(status), 0L) || !file.exists(so)) {
    skip("the storage fault shim could not be built")
  }
  so
}

# A connection to a server on a copy of the sample project whose storage
# fails as `fault` says; returns the project.
local_faulty_orvane <- function(fault, env = parent.frame()) {
  shim <- orv_fault_shim()
  withr::with_envvar(c(LD_PRELOAD = shim, VEK_FAULT = fault), local_orvane(env))
}

# Starts a child R on `lines` (stopped, with what it launched, when `env`
# ends) and waits until a line of its output matches `ready`; returns the
# process and a reader of its output.
orv_child_r <- function(lines, ready, env = parent.frame()) {
  out <- withr::local_tempfile(.local_envir = env)
  script <- withr::local_tempfile(fileext = ".R", .local_envir = env)
  writeLines(lines, script)
  tag <- orv_new_tag()
  proc <- processx::process$new(file.path(R.home("bin"), "R"), c("--vanilla", "-q", "-f", script),
                                stdout = out, stderr = "2>&1",
                                env = c("current", orv_child_env(), ORV_TEST_TAG = tag))
  withr::defer({ proc$kill(); orv_kill_servers(tag) }, envir = env)
  output <- function() readLines(out, warn = FALSE)
  for (i in 1:1200) if (!any(grepl(ready, output())) && proc$is_alive()) Sys.sleep(0.05)
  list(proc = proc, output = output)
}

# Runs `setup` then `call` in a child R connected to a server on `project`
# (not connected without one), interrupts `call` `after` seconds after it
# started, then runs `after_lines`; returns the child's output lines, the
# line "RESULT <value of call or interrupt> <time>", with the time the
# interrupt was sent as attribute "sent".
orv_interrupted <- function(project, setup, call, after, after_lines = character(0)) {
  connect <- if (!is.null(project)) {
    sprintf("ConnectOrvane(run_server = TRUE, path = '%s')", project)
  }
  child <- orv_child_r(c("library(orvanelink)", connect, setup, "cat('READY\\n')",
                         sprintf("r <- tryCatch(%s, interrupt = function(e) 'interrupt')", call),
                         "cat('RESULT', r, format(as.numeric(Sys.time()), digits = 15), '\\n')",
                         after_lines, "invisible(DisconnectOrvane())"),
                       "^READY$", environment())
  Sys.sleep(after)
  sent <- as.numeric(Sys.time())
  child$proc$interrupt()
  child$proc$wait(60000)
  structure(child$output(), sent = sent)
}

# Compares text lines with a record kept in fixtures/ (written again with
# ORV_UPDATE_RECORD=1 after a change meant so); the session's temporary
# directory and the random names made in it are blanked out. An empty line
# stays a line.
orv_expect_record <- function(lines, name) {
  lines <- strsplit(gsub(tempdir(), "<tmp>", enc2utf8(lines), fixed = TRUE), "\n")
  lines <- unlist(lapply(lines, function(l) if (length(l)) l else ""))
  lines <- gsub("<tmp>/[A-Za-z]+[0-9a-f]+", "<tmp>/<name>", lines)
  path <- test_path("fixtures", paste0(name, ".record"))
  if (nzchar(Sys.getenv("ORV_UPDATE_RECORD"))) writeLines(lines, path, useBytes = TRUE)
  expect_identical(lines, readLines(path, encoding = "UTF-8"), label = name)
}
