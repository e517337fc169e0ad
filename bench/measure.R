# Timing and peak-memory helpers shared by the R benchmarks (sourced).

# Seconds f() takes, and the best of k runs.
seconds <- function(f) {
  t0 <- Sys.time()
  f()
  as.double(Sys.time() - t0, units = "secs")
}
best <- function(k, f) min(vapply(seq_len(k), function(i) seconds(f), 0))

status_kb <- function(field) {
  line <- grep(paste0("^", field, ":"), readLines("/proc/self/status"), value = TRUE)
  as.numeric(gsub("[^0-9]", "", line)) * 1024
}
# Growth of the peak resident memory while f() runs, its result kept, in
# bytes, and the time f() took; NA where the peak cannot be reset.
peak_growth <- function(f) {
  gc()
  base <- status_kb("VmRSS")
  reset <- tryCatch({
    cat("5", file = "/proc/self/clear_refs")
    TRUE
  }, error = function(e) FALSE, warning = function(w) FALSE)
  t0 <- Sys.time()
  keep <- f()
  t <- as.double(Sys.time() - t0, units = "secs")
  grown <- if (reset) status_kb("VmHWM") - base else NA_real_
  rm(keep)
  c(bytes = grown, seconds = t)
}
