.onLoad <- function(libname, pkgname) {
  # A server launched from this session must not outlive it.
  reg.finalizer(.state, function(e) .stop_server(), onexit = TRUE)
}

.onUnload <- function(libpath) {
  .stop_server()
}
