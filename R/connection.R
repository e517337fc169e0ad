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

# The time limit of the connection, in seconds, for the messages; set with
# the client's own before each connection.
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
    server <- .check_text(server, "server", max = .path_max)
    if (!nzchar(server)) .fail("server", "must not be empty (use NULL for the default server)")
    if (!file.exists(server) || dir.exists(server)) {
      .fail("server", sprintf("names no file: %s", server))
    }
    if (file.access(server, 1L) != 0L) .fail("server", sprintf("is not executable: %s", server))
    server <- normalizePath(server)
    if (nchar(server, type = "bytes") > .path_max) .fail("server", "is too long once made absolute")
    return(server)
  }
  unset <- all(is.na(Sys.getenv(c("VEK_SERVER", "VEK_HOME", "VEKSERVER"), unset = NA)))
  bundled <- if (unset) .bundled_server() else ""
  if (unset && !nzchar(bundled)) {
    .orvane_stop(
      "usage_error", "ConnectOrvane",
      "the reference server is not installed with the package; give 'server' or set VEK_SERVER",
      message =
        "the reference server is not installed with the package; give 'server' or set VEK_SERVER")
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
  n <- tryCatch(.Call("SStopServers", if (is.null(pids)) NULL else as.integer(pids),
                      PACKAGE = "orvanelink"),
                error = function(e) 0L)
  invisible(n > 0L)
}

#' Connect to VEKserver
#'
#' Opens the connection to a VEKserver, launching the server program on this
#' machine first when asked. There is one connection per R session.
#'
#' Calling `ConnectOrvane()` while connected gives the message
#' \samp{Orvane is already connected. 'ConnectOrvane()' is ignored.} and
#' keeps the connection and the target.
#'
#' A server launched here is a child process of the R session, in a
#' session of its own: the Ctrl-C, Ctrl-\\ and Ctrl-Z typed at R's terminal
#' are R's and never reach it. The client library never stops it; the
#' package does: [DisconnectOrvane()] stops it (unless told not to), and so
#' do a failed or interrupted connection, the unloading of the package and
#' the end of the R session; each time with whatever the program itself
#' started. The bundled reference server also ends by itself within a
#' second once the R session that launched it has died (killed, crashed). A
#' server that has ended is reaped by the next call of the package.
#'
#' A launched program that does not become a server (it ends, never reports
#' its port, or reports nonsense) is stopped before the error returns. The
#' bundled reference server serves nothing without a project: it is not
#' launched without a `path` (or \env{VEK_PROJECT_DIR}); another program
#' launched without one is asked for its Studies at once, and one that
#' answers that it has no project is stopped, its answer in the error.
#'
#' Every connection attempt clears the target. A connection to a port where
#' nothing listens fails at once; a server that does not answer is given up
#' after `timeout` seconds, once. Ctrl-C stops the wait at once. A
#' connection the server ends later (it was stopped or killed) is closed by
#' the next call, which says so; `ConnectOrvane()` then connects again
#' without a [DisconnectOrvane()] first.
#'
#' @param host host name or IPv4 address of the server.
#' @param port TCP port of the server, 1 to 65535. `NULL` means the default
#'   port (the `VEKserver` entry of the services database, else 5500), or,
#'   with `run_server = TRUE`, the port the launched server reports.
#' @param run_server whether to launch the server program on this machine
#'   before connecting.
#' @param server path of the server program to launch (only with
#'   `run_server = TRUE`). `NULL` launches the program named by the
#'   environment variables \env{VEK_SERVER} or \env{VEK_HOME} when either is
#'   set, and otherwise the reference server bundled with the package,
#'   `system.file("bin", "VEKserver", package = "orvanelink")`.
#' @param path the initialisation path handed to the server at connection (at
#'   most 499 characters). The reference server serves the project found
#'   there; a server launched here with a `path` does not see a
#'   \env{VEK_PROJECT_DIR} of the R session, which it would serve instead.
#' @param verbose whether the bridge reports each step, here and in later
#'   calls (copies, creations, deletions), as R messages.
#' @param timeout the time limit, in seconds, of every wait on the server
#'   (connecting, the answer of each request) from now on; ignored while
#'   connected.
#' @return `TRUE`, invisibly. A failure is an [orvane_error] whose message
#'   says why in a line, such as \samp{nothing accepts connections there} or
#'   \samp{timed out}; the client library's own text is in its `detail`.
#' @seealso [DisconnectOrvane()], [IsConnectedOrvane()],
#'   [OrvaneSampleProject()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' IsConnectedOrvane()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#'
#' # Nothing listens on this port: a clear error, at once.
#' try(ConnectOrvane(host = "127.0.0.1", port = 1))
#' @export
ConnectOrvane <- function(host = "localhost", port = NULL, run_server = FALSE, server = NULL,
                          path = "", verbose = FALSE,
                          timeout = getOption("orvanelink.timeout", 30)) {
  host <- .check_text(host, "host", max = .path_max)
  if (!nzchar(host)) .fail("host", "must not be empty")
  port <- if (is.null(port)) 0L else .check_count(port, "port", 1L, 65535L)
  .check_flag(run_server, "run_server")
  path <- .check_text(path, "path")
  .check_flag(verbose, "verbose")
  if (!is.numeric(timeout) || length(timeout) != 1L || is.na(timeout) || timeout <= 0 ||
      timeout > 86400) {
    .fail("timeout", "must be a number of seconds above 0 and at most 86400")
  }
  if (!run_server && !is.null(server)) .fail("server", "is only used with run_server = TRUE")
  program <- if (run_server) .server_to_launch(server) else ""
  # The bundled server without a project would connect and then refuse
  # every request; another program may find its project elsewhere, which
  # its first answer tells (below).
  project_given <- nzchar(path) || nzchar(Sys.getenv("VEK_PROJECT_DIR"))
  if (run_server && !project_given && .is_bundled(program) && !IsConnectedOrvane()) {
    .fail("path",
          paste("must name the project directory to serve: the bundled reference server serves",
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
  if (run_server) {
    on.exit(if (!IsConnectedOrvane()) .stop_server(setdiff(.launched_pids(), before)), add = TRUE)
  }
  where <- if (port > 0L) sprintf("%s:%d", host, port) else sprintf("%s (default port)", host)
  operation <- sprintf("%s VEKserver on %s",
                       if (run_server) "launch or connect to" else "connect to", where)
  .orvane_call(operation, "SConnectOrvane", path, program, host, port, as.integer(run_server),
               as.integer(verbose), context = if (run_server) "launch" else "connect")
  if (run_server && !project_given && length(setdiff(.launched_pids(), before))) {
    .check_served(operation)
  }
  invisible(TRUE)
}

.is_bundled <- function(program) {
  bundled <- .bundled_server()
  nzchar(program) && nzchar(bundled) && identical(normalizePath(program), normalizePath(bundled))
}

# A server launched without a project says on its first request whether it
# serves one: one that refuses is no connection (the on.exit of
# ConnectOrvane() then stops it).
.check_served <- function(operation) {
  run <- .native(.Call("IGetStudyList", "", "", "", PACKAGE = "orvanelink"))
  if (!nzchar(run$out$server)) return(invisible())
  .native(.Call("SDisconnectOrvane", PACKAGE = "orvanelink"))
  .orvane_stop("server_error", operation,
               sprintf("the launched server serves no project: %s", run$out$server),
               server = run$out$server, detail = .failure_detail(run$out, run$value))
}

#' Disconnect from VEKserver
#'
#' Ends the session with the server and clears the target; stops the server
#' that [ConnectOrvane()] launched.
#'
#' Without a connection the message
#' \samp{Orvane is already disconnected. Nothing done.} says so; that is no
#' error.
#'
#' @param stop_server whether to stop the server program that
#'   `ConnectOrvane(run_server = TRUE)` launched from this R session. A server
#'   started any other way is never stopped.
#' @return `TRUE`, invisibly.
#' @seealso [ConnectOrvane()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' DisconnectOrvane()
#' IsConnectedOrvane()
#' unlink(project, recursive = TRUE)
#' @export
DisconnectOrvane <- function(stop_server = TRUE) {
  .check_flag(stop_server, "stop_server")
  .orvane_call("disconnect from VEKserver", "SDisconnectOrvane")
  if (stop_server) .stop_server()
  invisible(TRUE)
}

#' Is There a Connection to VEKserver?
#'
#' Tells whether [ConnectOrvane()] has opened a connection that is still
#' held.
#'
#' It prints nothing and sends nothing. A connection closed by an
#' interrupted request, by a request the server did not answer in time, by
#' [DisconnectOrvane()], or by the server itself (stopped, killed: the
#' socket says so, and the connection is closed on the way) is no
#' connection.
#'
#' @return `TRUE` or `FALSE`.
#' @seealso [ConnectOrvane()]
#' @examples
#' IsConnectedOrvane()
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' IsConnectedOrvane()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
IsConnectedOrvane <- function() {
  # The bridge's answer prints its reminder when there is no connection: a
  # question answers, it does not print.
  !.failed(.native(.Call("SIsConnected", PACKAGE = "orvanelink"))$value)
}

#' Show the Current Target
#'
#' Prints the current target: the Study, Directory, File, Selection and
#' Variable that later operations work on, each name or
#' \samp{(Not defined yet)}.
#'
#' The target is set by the functions that name items (the `study`,
#' `directory` and `file` arguments of the list and copy functions), by
#' creations, and by the console browser [ManageTarget()]. A deletion or a
#' creation clears its level and all levels below it. A selection named
#' `"None"` counts as no selection.
#'
#' The target's selection matters to [WriteVariable()], [ReadVariable()] and
#' [ReadCoordinates()], which apply it. It is set by naming a selection in
#' [CopyOrvaneToDb()], by creating one with [CopyDbToOrvane()], and in
#' [ManageTarget()]; naming another File does not clear it (a File created or
#' a Db found incompatible does).
#'
#' @return `TRUE`, invisibly; the target is shown as a message. Without a
#'   connection, an [orvane_error] of class `orvane_not_connected`.
#' @seealso [ManageTarget()]
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListVariables("Demo", "Mining", "Samples")
#' ShowTarget()
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @export
ShowTarget <- function() {
  .orvane_call("show the target", "SShowTarget")
  invisible(TRUE)
}
