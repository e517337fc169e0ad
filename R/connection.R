# Connection to VEKserver and the current target.

# Longest server path and host name the bridge keeps.
.path_max <- 1023L

# A server launched by ConnectOrvane() is a child of this R process that the
# client library never stops. It runs in a session of its own (the
# terminal's Ctrl-C is for R, not for it), so the package stops it:
# DisconnectOrvane(), a failed connection, the unloading of the package and
# the end of the R session. A reference server also ends by itself when
# this process dies.
.state <- new.env(parent = emptyenv())
# The time limit of the connection, in seconds, for the messages.
.state$timeout <- 30

.timeout <- function() .state$timeout

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

# Reaps the launched servers that have ended and returns the ids of those
# still running (none once the package's library is gone).
.launched_pids <- function() {
  tryCatch(.Call("SServerProcesses", PACKAGE = "orvanelink"), error = function(e) integer(0))
}

.server_pids <- function() .launched_pids()

# Stops the launched servers given (NULL: all) with whatever each started,
# and reaps them. A server finishes the request at hand on SIGTERM; it is
# killed after two seconds.
.stop_server <- function(pids = NULL) {
  if (!is.null(pids) && length(pids) == 0L) return(invisible(FALSE))
  n <- tryCatch(.Call("SStopServers", if (is.null(pids)) NULL else as.integer(pids), PACKAGE = "orvanelink"),
                error = function(e) 0L)
  invisible(n > 0L)
}

ConnectOrvane <- function(host = "localhost", port = NULL, run_server = FALSE, server = NULL,
                          path = "", verbose = FALSE, timeout = getOption("orvanelink.timeout", 30)) {
  .check_text(host, "host", max = .path_max)
  if (!nzchar(host)) .fail("host", "must not be empty")
  port <- if (is.null(port)) 0L else .check_count(port, "port", 1L, 65535L)
  .check_flag(run_server, "run_server")
  .check_text(path, "path")
  .check_flag(verbose, "verbose")
  if (!is.numeric(timeout) || length(timeout) != 1L || is.na(timeout) || timeout <= 0 || timeout > 86400) {
    .fail("timeout", "must be a number of seconds above 0 and at most 86400")
  }
  if (!run_server && !is.null(server)) .fail("server", "is only used with run_server = TRUE")
  program <- if (run_server) .server_to_launch(server) else ""
  # The bundled server without a project would connect and then refuse
  # every request; another program may find its project elsewhere, which
  # its first answer tells (below).
  project_given <- nzchar(path) || nzchar(Sys.getenv("VEK_PROJECT_DIR"))
  if (run_server && !project_given && .is_bundled(program) && !IsConnectedOrvane()) {
    .fail("path", paste("must name the project directory to serve: the bundled reference server serves",
                        "nothing without one (or set VEK_PROJECT_DIR)"))
  }
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
  if (!IsConnectedOrvane()) {
    .Call("SSetTimeout", as.double(timeout), PACKAGE = "orvanelink")
    .state$timeout <- timeout
  }
  # Also when an interrupt ends the call: a program launched for a
  # connection that was not made is stopped again (and reaped), not the
  # servers of earlier connections kept with stop_server = FALSE.
  before <- .launched_pids()
  if (run_server) on.exit(if (!IsConnectedOrvane()) .stop_server(setdiff(.launched_pids(), before)), add = TRUE)
  where <- if (port > 0L) sprintf("%s:%d", host, port) else sprintf("%s (default port)", host)
  operation <- sprintf("%s VEKserver on %s", if (run_server) "launch or connect to" else "connect to", where)
  .orvane_call(operation, "SConnectOrvane", path, program, host, port, as.integer(run_server), as.integer(verbose),
               context = if (run_server) "launch" else "connect")
  if (run_server && !project_given && length(setdiff(.launched_pids(), before))) .check_served(operation)
  invisible(TRUE)
}

.is_bundled <- function(program) {
  bundled <- .bundled_server()
  nzchar(program) && nzchar(bundled) && identical(normalizePath(program, mustWork = FALSE),
                                                  normalizePath(bundled, mustWork = FALSE))
}

# A server launched without a project says on its first request whether it
# serves one: one that refuses is no connection (the on.exit of
# ConnectOrvane() then stops it).
.check_served <- function(operation) {
  run <- .native(.Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"))
  if (!nzchar(run$out$server)) return(invisible())
  .native(.Call("SDisconnectOrvane", PACKAGE = "orvanelink"))
  .orvane_stop("server_error", operation, sprintf("the launched server serves no project: %s", run$out$server),
               server = run$out$server, detail = .failure_detail(run$out, run$value))
}

DisconnectOrvane <- function(stop_server = TRUE) {
  .check_flag(stop_server, "stop_server")
  .orvane_call("disconnect from VEKserver", "SDisconnectOrvane")
  if (stop_server) .stop_server()
  invisible(TRUE)
}

# The bridge's answer prints its reminder when there is no connection: a
# question answers, it does not print. A connection the server has ended
# is closed on the way, without a request.
IsConnectedOrvane <- function() {
  !.failed(.native(.Call("SIsConnected", PACKAGE = "orvanelink"))$value)
}

ShowTarget <- function() {
  .orvane_call("show the target", "SShowTarget")
  invisible(TRUE)
}
