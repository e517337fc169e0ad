# Connection to VEKserver and the current target.

# Longest server path and host name the bridge keeps.
.path_max <- 1023L

# A server launched by ConnectOrvane() is a child of this R process that the
# client library never stops. Its process id is kept here so that
# DisconnectOrvane(), a failed connection, the unloading of the package and
# the end of the R session can stop it.
.state <- new.env(parent = emptyenv())
.state$server_pids <- integer(0)

# The reference server shipped with the package ("" when not installed).
.bundled_server <- function() {
  system.file("bin", "VEKserver", package = "orvanelink")
}

# Which program the client launches: the one named by the caller, else the
# one the environment names (the client's own search then runs, so that a
# user of a full Orvane installation gets that server, and a user of the
# deprecated VEKSERVER hears about it), else the bundled reference server.
.server_to_launch <- function(server) {
  if (!is.null(server)) {
    .check_text(server, "server", max = .path_max)
    if (!nzchar(server)) .fail("server", "must not be empty (use NULL for the default server)")
    if (!file.exists(server) || dir.exists(server)) .fail("server", sprintf("names no file: %s", server))
    if (file.access(server, 1L) != 0L) .fail("server", sprintf("is not executable: %s", server))
    server <- normalizePath(server)
    if (nchar(server, type = "bytes") > .path_max) .fail("server", "is too long once made absolute")
    return(server)
  }
  env <- Sys.getenv(c("VEK_SERVER", "VEK_HOME", "VEKSERVER"), unset = NA)
  if (any(!is.na(env))) return("")
  bundled <- .bundled_server()
  if (!nzchar(bundled)) {
    .orvane_stop("usage_error", "ConnectOrvane",
                 "the reference server is not installed with the package; give 'server' or set VEK_SERVER",
                 message = "the reference server is not installed with the package; give 'server' or set VEK_SERVER")
  }
  bundled
}

# Process ids of the running server programs started by this R process. A
# launched server always gets the bare name "VEKserver" as its first argument
# whatever its path; one that has ended shows as "[VEKserver] <defunct>" (the
# client never reaps it) and is not listed.
.server_children <- function() {
  me <- Sys.getpid()
  lines <- tryCatch(suppressWarnings(system2("ps", c("-A", "-o", "pid=,ppid=,args="), stdout = TRUE,
                                             stderr = FALSE)),
                    error = function(e) NULL)
  if (!is.null(lines) && is.null(attr(lines, "status"))) {
    m <- regmatches(lines, regexec("^[[:space:]]*([0-9]+)[[:space:]]+([0-9]+)[[:space:]]+(.*)$", lines))
    m <- m[lengths(m) == 4L]
    pid <- as.integer(vapply(m, `[`, "", 2L))
    ppid <- as.integer(vapply(m, `[`, "", 3L))
    args <- vapply(m, `[`, "", 4L)
    return(pid[ppid == me & grepl("^VEKserver( |$)", args)])
  }
  # No ps: read the process table directly where there is one.
  stats <- Sys.glob("/proc/[0-9]*/stat")
  out <- integer(0)
  for (f in stats) {
    s <- tryCatch(readLines(f, warn = FALSE), error = function(e) "")
    # pid (comm) state ppid ...; comm may hold blanks, so split after ")".
    rest <- strsplit(sub("^.*\\) ", "", s[1L]), " ", fixed = TRUE)[[1L]]
    if (length(rest) >= 2L && rest[1L] != "Z" && identical(as.integer(rest[2L]), me) &&
        grepl("(VEKserver)", s[1L], fixed = TRUE)) {
      out <- c(out, as.integer(basename(dirname(f))))
    }
  }
  out
}

.stop_server <- function() {
  pids <- intersect(.state$server_pids, .server_children())
  .state$server_pids <- integer(0)
  if (length(pids) == 0L) return(invisible(FALSE))
  # The server finishes the request at hand on SIGTERM and exits; it is
  # idle here, so a few of its 250 ms ticks are plenty.
  for (pid in pids) tools::pskill(pid, tools::SIGTERM)
  for (i in 1:40) {
    pids <- intersect(pids, .server_children())
    if (length(pids) == 0L) return(invisible(TRUE))
    Sys.sleep(0.05)
  }
  for (pid in pids) tools::pskill(pid, tools::SIGKILL)
  invisible(TRUE)
}

ConnectOrvane <- function(host = "localhost", port = NULL, run_server = FALSE, server = NULL,
                          path = "", verbose = FALSE) {
  .check_text(host, "host", max = .path_max)
  if (!nzchar(host)) .fail("host", "must not be empty")
  port <- if (is.null(port)) 0L else .check_count(port, "port", 1L, 65535L)
  .check_flag(run_server, "run_server")
  .check_text(path, "path")
  .check_flag(verbose, "verbose")
  if (!run_server && !is.null(server)) .fail("server", "is only used with run_server = TRUE")
  program <- if (run_server) .server_to_launch(server) else ""
  if (run_server && nzchar(path)) {
    # The launched server inherits this environment, and a reference server
    # serves VEK_PROJECT_DIR in preference to the path it is given: the
    # project asked for here must win over one set for other purposes.
    old <- Sys.getenv("VEK_PROJECT_DIR", unset = NA)
    if (!is.na(old)) {
      Sys.unsetenv("VEK_PROJECT_DIR")
      on.exit(Sys.setenv(VEK_PROJECT_DIR = old), add = TRUE)
    }
  }
  before <- if (run_server) .server_children() else integer(0)
  res <- .Call("SConnectOrvane", path, program, host, port, as.integer(run_server),
               as.integer(verbose), PACKAGE = "orvanelink")
  if (run_server) {
    .state$server_pids <- union(.state$server_pids, setdiff(.server_children(), before))
  }
  if (.failed(res)) {
    if (run_server) .stop_server()
    where <- if (port > 0L) sprintf("%s:%d", host, port) else sprintf("%s (default port)", host)
    .orvane_stop("communication_error",
                 sprintf("%s VEKserver on %s", if (run_server) "launch or connect to" else "connect to", where),
                 "see the client's messages above")
  }
  invisible(TRUE)
}

DisconnectOrvane <- function(stop_server = TRUE) {
  .check_flag(stop_server, "stop_server")
  .Call("SDisconnectOrvane", PACKAGE = "orvanelink")
  if (stop_server) .stop_server()
  invisible(TRUE)
}

IsConnectedOrvane <- function() {
  res <- .Call("SIsConnected", PACKAGE = "orvanelink")
  !.failed(res)
}

ShowTarget <- function() {
  res <- .Call("SShowTarget", PACKAGE = "orvanelink")
  if (.failed(res)) {
    .orvane_stop("not_connected", "show the target", "not connected to VEKserver: use ConnectOrvane() first",
                 message = "not connected to VEKserver: use ConnectOrvane() first")
  }
  invisible(TRUE)
}
