# What an R user gets: the package's functions against the bundled server on
# a grid and on a point File of several variables, each figure a ratio to a
# base-R or file-system baseline measured in the same run, then the client
# library's own figures (bench/run.sh).
#
#   Rscript bench/transfer_bench.R [NX NY [NZ]] [--repeat K] [--small K] [--rows N]
#                                  [--big] [--no-client]
#
# NX NY NZ: the grid (default 1000 x 10000, 10^7 values, 80 MB). --repeat:
# runs of each large transfer, the best kept (default 3). --small: runs of
# the 24-value overwrite, each followed by a durable replace, the medians
# kept (default 30). --rows: samples of
# the point File of 10 variables that ReadFile() reads (default 10^6).
# --big: also a 10^8-value grid (800 MB) written and read once, its time and
# peak memory (it needs about 3 GB of memory). --no-client: skip the
# client-level figures (they build the client and server with CMake). The
# package must be installed (tools/setup.sh); the machine should be idle.

usage <- paste(
  "usage: Rscript bench/transfer_bench.R [NX NY [NZ]] [--repeat K] [--small K] [--rows N]",
  "[--big] [--no-client]")
args <- commandArgs(trailingOnly = TRUE)
opt <- list(grid = c(1000, 10000), repeats = 3L, small = 30L, rows = 1e6,
            big = FALSE, client = TRUE)
pos <- character(0)
i <- 1L
while (i <= length(args)) {
  a <- args[i]
  if (a %in% c("--repeat", "--small", "--rows") && i < length(args)) {
    key <- c("--repeat" = "repeats", "--small" = "small", "--rows" = "rows")[[a]]
    opt[[key]] <- if (key == "rows") as.numeric(args[i + 1L]) else as.integer(args[i + 1L])
    i <- i + 1L
  } else if (a == "--no-client") {
    opt$client <- FALSE
  } else if (a == "--big") {
    opt$big <- TRUE
  } else if (grepl("^[0-9]+$", a)) {
    pos <- c(pos, a)
  } else {
    stop(usage, call. = FALSE)
  }
  i <- i + 1L
}
if (length(pos)) opt$grid <- as.numeric(pos)
if (!length(opt$grid) %in% 2:3 || any(opt$grid < 1) || is.na(opt$repeats) || opt$repeats < 1L ||
    is.na(opt$small) || opt$small < 1L || is.na(opt$rows) || opt$rows < 1) {
  stop(usage, call. = FALSE)
}
n <- prod(opt$grid)
if (n > .Machine$integer.max / 8 || opt$rows > .Machine$integer.max / 8) {
  stop("the grid and the point File must hold at most 268435455 values", call. = FALSE)
}

suppressMessages(library(orvanelink))
bench_dir <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(), value = TRUE))
  if (length(f) == 1L) dirname(normalizePath(f)) else "bench"
})
work <- tempfile("orvbench")
dir.create(work)

# --- the file-system baseline: write, fsync, rename, directory fsync ---
invisible(file.copy(file.path(bench_dir, "durable.c"), work))
shlib <- file.path(work, paste0("durable", .Platform$dynlib.ext))
out <- system2(file.path(R.home("bin"), "R"),
               c("CMD", "SHLIB", "-o", shlib, file.path(work, "durable.c")),
               stdout = TRUE, stderr = TRUE)
if (!file.exists(shlib)) stop("cannot compile bench/durable.c:\n", paste(out, collapse = "\n"))
dll <- dyn.load(shlib)
durable_write <- function(path, values) {
  invisible(.Call(dll$bench_durable_write, path, dirname(path), values))
}

# --- measuring ---
source(file.path(bench_dir, "measure.R"))

# --- the project ---
# A server serves only a folder that holds a Study: the sample project is one.
project <- OrvaneSampleProject(file.path(work, "project"))
ConnectOrvane(run_server = TRUE, path = project)
invisible(ListStudies(new = "Bench", location = file.path(project, "Bench")))
invisible(ListDirectories("Bench", new = "Run"))
CreateFileForDb(DbDescription(nx = opt$grid), "Grid", study = "Bench", directory = "Run")
CreateFileForDb(DbDescription(nx = c(4, 3, 2)), "Small")

values <- (seq_len(n) - 1) * 0.5 - 1e6
values[seq(1, n, by = 97)] <- NA
local_file <- file.path(work, "values.bin")
payload <- 8 * n
small <- c(NA, seq_len(23) / 4)

# The point File of ReadFile(): 10 variables beside its coordinates.
rows <- opt$rows
columns <- c(list(X = as.double(seq_len(rows)), Y = as.double(rev(seq_len(rows)))),
             stats::setNames(lapply(1:10, function(k) replace(seq_len(rows) * k / 8,
                                                              seq(k, rows, by = 89), NA)),
                             sprintf("V%d", 1:10)))
one_file <- file.path(work, "one.bin")

res <- tryCatch({
  t_write <- best(opt$repeats, function() CopyDbToOrvane(values, "Value", file = "Grid"))
  t_durable <- best(opt$repeats, function() durable_write(local_file, values))
  t_read <- best(opt$repeats, function() CopyOrvaneToDb("Value", file = "Grid"))
  t_readbin <- best(opt$repeats, function() readBin(local_file, "double", n))
  back <- CopyOrvaneToDb("Value")
  if (!identical(back, values)) stop("the values read back differ from those written")
  rm(back)
  m_read <- peak_growth(function() CopyOrvaneToDb("Value"))[["bytes"]] / payload
  m_readbin <- peak_growth(function() readBin(local_file, "double", n))[["bytes"]] / payload
  m_write <- peak_growth(function() CopyDbToOrvane(values, "Value"))[["bytes"]] / payload

  WriteFile(list2DF(columns), "Points", study = "Bench", directory = "Run")
  durable_write(one_file, columns$V1)
  t_file <- best(opt$repeats, function() ReadFile("Points"))
  t_readbin10 <- best(opt$repeats, function() for (k in 1:10) readBin(one_file, "double", rows))
  got <- ReadFile("Points")
  if (!identical(lapply(got, as.vector), columns)) {
    stop("the File read back differs from the columns written")
  }
  rm(got)
  m_file <- peak_growth(function() ReadFile("Points"))[["bytes"]] / (8 * 10 * rows)

  # One after the other, so that both meet the disk in the same mood: its
  # flushes take from under a millisecond to several here.
  CopyDbToOrvane(small, "Small24", file = "Small")
  pairs <- vapply(seq_len(opt$small), function(i) {
    c(seconds(function() CopyDbToOrvane(small, "Small24", file = "Small")),
      seconds(function() durable_write(file.path(work, "small.bin"), small)))
  }, c(0, 0))
  t_small <- stats::median(pairs[1, ])
  t_replace <- stats::median(pairs[2, ])
  if (!identical(CopyOrvaneToDb("Small24"), small)) stop("the small variable reads back wrong")

  big <- NULL
  if (opt$big) {
    rm(values)
    CreateFileForDb(DbDescription(nx = c(10000, 10000)), "Big")
    big_values <- (seq_len(1e8) - 1) * 0.25
    big_values[seq(1, 1e8, by = 997)] <- NA
    w <- peak_growth(function() CopyDbToOrvane(big_values, "Value", file = "Big"))
    r <- peak_growth(function() CopyOrvaneToDb("Value", file = "Big"))
    durable_write(local_file, big_values)
    rb <- peak_growth(function() readBin(local_file, "double", 1e8))
    if (!identical(CopyOrvaneToDb("Value"), big_values)) stop("the 10^8 values read back differ")
    big <- list(w = w, r = r, rb = rb)
  }
  list(t_write = t_write, t_durable = t_durable, t_read = t_read, t_readbin = t_readbin,
       m_read = m_read, m_readbin = m_readbin, m_write = m_write, t_file = t_file,
       t_readbin10 = t_readbin10, m_file = m_file, t_small = t_small,
       t_replace = t_replace, big = big)
}, finally = DisconnectOrvane())

ms <- function(t) sprintf("%.1f ms", 1000 * t)
cat(sprintf(paste("R functions on a %s grid (%.0f values, %.0f MB)",
                  "and a point File of %.0f samples and 10 variables;",
                  "large transfers best of %d, the overwrite median of %d\n\n"),
            paste(opt$grid, collapse = " x "), n, payload / 1e6, rows, opt$repeats, opt$small))
rows_out <- rbind(
  c("CopyOrvaneToDb() of the grid / readBin() of the same bytes from a local file",
    sprintf("%.2f", res$t_read / res$t_readbin), "<= 1.2",
    paste(ms(res$t_read), "/", ms(res$t_readbin))),
  c("peak memory growth of that read, in payloads (readBin alone)",
    sprintf("%.2f (%.2f)", res$m_read, res$m_readbin), "<= 1.1", ""),
  c("CopyDbToOrvane() of the grid / durable write of the bytes (write, fsync, rename, dir fsync)",
    sprintf("%.2f", res$t_write / res$t_durable), "<= 1.5",
    paste(ms(res$t_write), "/", ms(res$t_durable))),
  c("peak memory growth of that write beyond the R vector, in payloads",
    sprintf("%.2f", res$m_write), "<= 0.1", ""),
  c("ReadFile() of the point File (X, Y and 10 variables) / 10 x readBin() of one variable's bytes",
    sprintf("%.2f", res$t_file / res$t_readbin10), "<= 1.5",
    paste(ms(res$t_file), "/", ms(res$t_readbin10))),
  c("peak memory growth of that ReadFile(), in payloads of its 10 variables",
    sprintf("%.2f", res$m_file), "", ""),
  c("24-value overwrite with CopyDbToOrvane() / durable replace of a 192-byte file",
    sprintf("%.2f", res$t_small / res$t_replace), "<= 2",
    paste(ms(res$t_small), "/", ms(res$t_replace))))
width <- max(nchar(rows_out[, 1]))
cat(sprintf("%-*s  %12s  %6s  %s\n", width, "what", "ratio", "goal", "times"))
for (r in seq_len(nrow(rows_out))) {
  cat(sprintf("%-*s  %12s  %6s  %s\n", width, rows_out[r, 1], rows_out[r, 2],
              rows_out[r, 3], rows_out[r, 4]))
}
if (!is.null(res$big)) {
  b <- res$big
  cat(sprintf(paste("\n10^8-value grid (800 MB), once each: CopyDbToOrvane() %.1f s,",
                    "peak memory growth %.2f payloads",
                    "beyond the R vector;\n  CopyOrvaneToDb() %.1f s, %.2f payloads;",
                    "readBin() of the same bytes",
                    "%.1f s, %.2f payloads\n"),
              b$w[["seconds"]], b$w[["bytes"]] / 8e8, b$r[["seconds"]], b$r[["bytes"]] / 8e8,
              b$rb[["seconds"]], b$rb[["bytes"]] / 8e8))
}
unlink(work, recursive = TRUE)

if (opt$client) {
  # The client bench lays its grid out 10000 values a row.
  n_client <- if (n <= 10000) n else ceiling(n / 10000) * 10000
  cat(sprintf("\nClient library (bench/run.sh --n %.0f --repeat %d):\n", n_client, opt$repeats))
  status <- system2(file.path(bench_dir, "run.sh"), c("--n", format(n_client, scientific = FALSE),
                                                      "--repeat", opt$repeats))
  if (status != 0) stop("bench/run.sh failed", call. = FALSE)
}
