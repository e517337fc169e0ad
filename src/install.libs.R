# Installs the shared library as usual, and the reference server program
# into the package's bin/ folder.
files <- Sys.glob(paste0("*", SHLIB_EXT))
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
file.copy(files, dest, overwrite = TRUE)
if (file.exists("symbols.rds")) file.copy("symbols.rds", dest, overwrite = TRUE)

bin <- file.path(R_PACKAGE_DIR, "bin")
dir.create(bin, recursive = TRUE, showWarnings = FALSE)
server <- file.path("server", "VEKserver")
if (!file.exists(server)) stop("the reference server was not built")
file.copy(server, bin, overwrite = TRUE)
Sys.chmod(file.path(bin, "VEKserver"), "0755")
# The server's debug symbols are most of its size and no use to a user.
strip <- Sys.which("strip")
if (nzchar(strip)) {
  invisible(system2(strip, file.path(bin, "VEKserver"), stdout = FALSE, stderr = FALSE))
}
