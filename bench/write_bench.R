# What writing back from R costs beyond the values themselves: a grid File
# created and checked from its description alone, and rows placed by their
# coordinates. Each figure is a ratio to a baseline measured in the same run.
#
#   Rscript bench/write_bench.R [NODES] [ROWS] [--repeat K]
#
# NODES: nodes of the large grid File created and checked (default 10^8, as
# 10000 x 10000). ROWS: nodes of the grid written with its rows shuffled
# (default 10^7, as 1000 x ROWS/1000). --repeat: runs of each, the best kept
# (default 3). The package must be installed; the machine should be idle.

usage <- "usage: Rscript bench/write_bench.R [NODES] [ROWS] [--repeat K]"
args <- commandArgs(trailingOnly = TRUE)
repeats <- 3L
pos <- character(0)
i <- 1L
while (i <= length(args)) {
  if (args[i] == "--repeat" && i < length(args)) {
    repeats <- as.integer(args[i + 1L])
    i <- i + 1L
  } else if (grepl("^[0-9.e+]+$", args[i])) {
    pos <- c(pos, args[i])
  } else {
    stop(usage, call. = FALSE)
  }
  i <- i + 1L
}
nodes <- if (length(pos) >= 1L) as.numeric(pos[1]) else 1e8
rows <- if (length(pos) >= 2L) as.numeric(pos[2]) else 1e7
if (is.na(repeats) || repeats < 1L || !is.finite(nodes) || !is.finite(rows) || rows < 1000) {
  stop(usage, call. = FALSE)
}

suppressMessages(library(orvanelink))
bench_dir <- local({
  f <- sub("^--file=", "", grep("^--file=", commandArgs(), value = TRUE))
  if (length(f) == 1L) dirname(normalizePath(f)) else "bench"
})
source(file.path(bench_dir, "measure.R"))

work <- tempfile("orvbench")
dir.create(work)
# A server serves only a folder that holds a Study: the sample project is one.
project <- OrvaneSampleProject(file.path(work, "project"))
ConnectOrvane(run_server = TRUE, path = project)
invisible(ListStudies(new = "Bench", location = file.path(project, "Bench")))
invisible(ListDirectories("Bench", new = "Run"))

side <- round(sqrt(nodes))
large <- DbDescription(nx = c(side, round(nodes / side)), dx = c(2, 2))
tiny <- DbDescription(nx = c(2, 2), dx = c(2, 2))
nx <- c(1000, round(rows / 1000))
g <- DbDescription(nx = nx, x0 = c(5, 7), dx = c(2, 3))
n <- prod(nx)
frame <- data.frame(X = rep(5 + (seq_len(nx[1]) - 1) * 2, nx[2]),
                    Y = rep(7 + (seq_len(nx[2]) - 1) * 3, each = nx[1]), V = stats::runif(n))
shuffled <- frame[sample.int(n), ]
k <- 0L
create_check <- function(d) function() {
  k <<- k + 1L
  CreateFileForDb(d, sprintf("G%d", k), "Bench", "Run")
  stopifnot(DbCompatible(d))
}

res <- tryCatch({
  t_large <- best(repeats, create_check(large))
  t_tiny <- best(repeats, create_check(tiny))
  m_large <- peak_growth(create_check(large))[["bytes"]]
  CreateFileForDb(g, "Placed", "Bench", "Run")
  t_vector <- best(repeats, function() CopyDbToOrvane(frame$V, "V", file = "Placed"))
  t_ordered <- best(repeats, function() WriteFile(frame, "Placed", overwrite = TRUE))
  t_shuffled <- best(repeats, function() WriteFile(shuffled, "Placed", overwrite = TRUE))
  # The matching alone, as WriteFile() makes it.
  d <- attr(ReadFile("Placed", variables = "V"), "description")
  t_match <- best(repeats, function() orvanelink:::.place_rows(shuffled[c("X", "Y")], d,
                                                               "Placed", "Bench", "Run"))
  if (!identical(CopyOrvaneToDb("V", file = "Placed"), frame$V)) {
    stop("the shuffled rows were not placed back")
  }
  list(t_large = t_large, t_tiny = t_tiny, m_large = m_large, t_vector = t_vector,
       t_ordered = t_ordered, t_shuffled = t_shuffled, t_match = t_match)
}, finally = DisconnectOrvane())
unlink(work, recursive = TRUE)

ms <- function(t) sprintf("%.1f ms", 1000 * t)
cat(sprintf("Grid Files of %.0f and 4 nodes; a grid of %.0f rows written; best of %d\n\n",
            prod(large$nx), n, repeats))
table <- rbind(
  c(sprintf("CreateFileForDb() + DbCompatible() of %.0f nodes / of 4 nodes", prod(large$nx)),
    sprintf("%.2f", res$t_large / res$t_tiny), "~ 1", paste(ms(res$t_large), "/", ms(res$t_tiny))),
  c("peak memory growth of that creation and check, in bytes per node",
    sprintf("%.4f", res$m_large / prod(large$nx)), "~ 0", ""),
  c("placing the shuffled rows on the grid's nodes / CopyDbToOrvane() of the values in order",
    sprintf("%.2f", res$t_match / res$t_vector), "<= 1",
    paste(ms(res$t_match), "/", ms(res$t_vector))),
  c("WriteFile() of the rows shuffled / of the rows in the File's order",
    sprintf("%.2f", res$t_shuffled / res$t_ordered), "<= 2",
    paste(ms(res$t_shuffled), "/", ms(res$t_ordered))))
width <- max(nchar(table[, 1]))
cat(sprintf("%-*s  %8s  %6s  %s\n", width, "what", "ratio", "goal", "times"))
for (r in seq_len(nrow(table))) {
  cat(sprintf("%-*s  %8s  %6s  %s\n", width, table[r, 1], table[r, 2], table[r, 3], table[r, 4]))
}
