# Shared helpers of the bridge tests.
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

# Servers started by a child are its children; once it has ended, any of
# them still running is matched by its command line and the project path
# (unique per test) and stopped.
orv_kill_servers <- function(project) {
  if (is.null(project)) return(invisible())
  pids <- tryCatch(system2("pgrep", c("-f", shQuote(orv_server_bin())), stdout = TRUE,
                           stderr = FALSE), warning = function(w) character(), error = function(e) character())
  for (pid in pids) {
    envf <- file.path("/proc", pid, "environ")
    envs <- tryCatch(readBin(envf, "raw", 65536), error = function(e) raw())
    if (length(envs) && grepl(project, rawToChar(envs[envs != as.raw(0)]), fixed = TRUE)) {
      tools::pskill(as.integer(pid))
    }
  }
  invisible()
}

# Runs `lines` in a child R (after loading the package, and connecting when
# `project` is given) and returns its standard output and error as lines.
orv_dialogue <- function(lines, project = NULL, connect = !is.null(project), verbose = 0L,
                         timeout = 60) {
  script <- tempfile(fileext = ".R")
  on.exit(unlink(script), add = TRUE)
  prelude <- "suppressMessages(library(orvanelink))"
  if (connect) prelude <- c(prelude, orv_connect_lines(verbose))
  writeLines(c(prelude, lines), script)
  on.exit(orv_kill_servers(project), add = TRUE)
  res <- processx::run(file.path(R.home("bin"), "R"), c("--vanilla", "--no-save", "-q"),
                       stdin = script, env = c("current", orv_child_env(project)),
                       timeout = timeout, error_on_status = FALSE, stderr_to_stdout = TRUE)
  strsplit(res$stdout, "\n", fixed = TRUE)[[1]]
}

# Values a child printed with orv_show(): lines "RESULT <tag> <text>".
orv_result <- function(out, tag) {
  hit <- grep(paste0("^RESULT ", tag, " "), out, value = TRUE)
  sub(paste0("^RESULT ", tag, " "), "", hit)
}

# Child-side printer used in dialogue scripts (written as text).
orv_show_def <- c(
  'orv_show <- function(tag, x) cat(sprintf("RESULT %s %s\\n", tag, paste(format(x, digits = 15), collapse = ",")))'
)

# Index of the first output line equal to `text`, NA when there is none.
orv_line <- function(out, text) match(text, out)

# In-process connection for the tests that need no console text.
orv_connect <- function(project, env = parent.frame(), verbose = 0L) {
  withr::local_envvar(c(VEK_PROJECT_DIR = project, VEK_TEST_IDLE_EXIT = "20"), .local_envir = env)
  res <- .Call("SConnectOrvane", "", orv_server_bin(), "", 0L, 1L, as.integer(verbose),
               PACKAGE = "orvanelink")
  withr::defer({
    .Call("SDisconnectOrvane", PACKAGE = "orvanelink")
    orv_kill_servers(project)
  }, envir = env)
  res
}

orv_call <- function(name, ...) .Call(name, ..., PACKAGE = "orvanelink")
