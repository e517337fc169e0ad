#' Exchange Data Between R and an Orvane Project Through VEKserver
#'
#' An Orvane project is a tree: a *Study* holds *Directories*, a Directory
#' holds *Files* (point sets, line files or regular grids), and a File holds
#' *variables* (numeric, character, macro and coordinate variables) and
#' *selections* (0/1 masks over the samples). The program VEKserver serves
#' that tree over TCP; this package is its client.
#'
#' The package keeps one connection and one *target*: the chain
#' Study / Directory / File / Selection / Variable that later operations work
#' on. Functions that take `study`, `directory` or `file` arguments set the
#' target to the items they name; `NULL` stands for the item the target
#' already holds at that level.
#'
#' @section Functions:
#' * Connection: [ConnectOrvane()], [DisconnectOrvane()],
#'   [IsConnectedOrvane()], [ShowTarget()].
#' * Browsing on the console: [ManageTarget()], [DesignateVariable()].
#' * Listing, creating and deleting: [ListTree()], [ListStudies()],
#'   [ListDirectories()], [ListFiles()], [ListSelections()], [ListVariables()],
#'   [CreateDirectory()].
#' * Whole Files: [ReadFile()], [WriteFile()]; as spatial objects [AsSf()],
#'   [AsSpatRaster()], [AsStars()].
#' * Variables: [CopyOrvaneToDb()], [CopyDbToOrvane()], [ReadVariable()],
#'   [WriteVariable()].
#' * Files and Db descriptions: [DbDescription()], [FileCharacteristics()],
#'   [DescribeFile()], [ReadCoordinates()], [DbCompatible()],
#'   [CreateFileForDb()].
#' * Sample data: [OrvaneSampleProject()].
#'
#' @section Errors and messages:
#' A failure is an R error of a class that says its kind (`orvane_not_found`,
#' `orvane_server_error`, ...), whose message holds the reason itself, such as
#' \samp{The name 'X' does not exist} or the server's own text. What the
#' functions print arrives as R messages. Ctrl-C interrupts any wait on the
#' server. See [orvane_error], which also describes the options
#' `orvanelink.timeout` and `orvanelink.progress`.
#'
#' @section Environment variables:
#' * \env{VEK_SERVER}: full path of the server program to launch.
#' * \env{VEK_HOME}: tried as \file{$VEK_HOME/bin/linux64-gcc44/VEKserver},
#'   \file{$VEK_HOME/bin/linux/VEKserver} and \file{$VEK_HOME/bin/VEKserver}.
#' * \env{VEK_SERVER_TRACE}: trace level 1 to 5 of the client library.
#' * \env{VEK_CLIENT_TRACE_FILE}: trace file name; default
#'   \file{/tmp/VEKClient_trace_<pid>.txt}.
#'
#' [ConnectOrvane()] explains which server program is launched.
#'
#' @examples
#' project <- OrvaneSampleProject()
#' ConnectOrvane(run_server = TRUE, path = project)
#' ListFiles("Demo", "Mining")
#' DisconnectOrvane()
#' unlink(project, recursive = TRUE)
#' @keywords package
#' @useDynLib orvanelink
#' @importFrom Rcpp evalCpp
#' @importFrom cli cli_progress_bar
"_PACKAGE"
