# Runs the R tests of the installed package and prints one counting line.
suppressMessages(library(testthat))
res <- as.data.frame(test_dir("tests/testthat", package = "orvanelink", load_package = "installed",
                              reporter = ProgressReporter$new(show_praise = FALSE),
                              stop_on_failure = FALSE))
n_failed <- sum(res$failed) + sum(res$error)
n_passed <- sum(res$nb) - sum(res$failed) - sum(res$skipped)
cat(sprintf("R tests: %d passed, %d failed\n", n_passed, n_failed))
quit(status = if (n_failed > 0) 1 else 0)
