# The support layer through the test-only entry points: R values converted,
# the console readers, messages, the abort path, a Db's description and the
# reordering of grids.

test_that("R values convert with NA as the undefined value, reals truncated toward zero", {
  # Each reader's value for each value in, as R writes it, in a record.
  cases <- c(lapply(list(NULL, NaN, Inf, 3e9, -3e9), function(v) list("value_integer", v)),
             list(list("value_integer", 3.99), list("value_integer", -2.9),
                  list("value_integer", TRUE), list("value_char", NA),
                  list("value_char", NA_character_), list("array_double", NA),
                  list("array_integer", c(1.5, NA, -2.5)), list("array_integer", c(NA, NA)),
                  list("array_double", c(1L, NA_integer_, TRUE)), list("array_double", c(NA, NaN)),
                  list("array_char", c("x", NA))))
  shown <- function(x) deparse(x, control = c("keepNA", "keepInteger", "niceNames", "digits17"))
  conv_lines <- vapply(cases, function(case) {
    sprintf("%s(%s): %s", case[[1]], deparse(case[[2]]), shown(conv(case[[1]], case[[2]])$value))
  }, "")
  # A single integer NA, or nothing, is no array.
  for (v in list(NA, NA_integer_, integer(0), NULL)) {
    conv_lines <- c(conv_lines, sprintf("array_integer(%s) as an array: %s", deparse(v),
                                        shown(conv("array_integer", v)[c("count", "null")])))
  }
  conv_lines <- c(conv_lines, sprintf("array_char(NA) as an array: count %s",
                                      shown(conv("array_char", NA)$count)))
  orv_expect_record(conv_lines, "support-conversions")
})

test_that("messages are titled and cut; an abort says so, frees its memory and leaves R usable", {
  before <- orv_call("STestBlocks")
  for (kind in c("abort", "bad_alloc", "rcpp")) {
    for (i in 1:5) expect_error(orv_call("STestAbort", 10L, kind))
  }
  expect_error(orv_call("STestAbort", 3L, "abort"),
               "Abort caught by C and return to R", fixed = TRUE)
  expect_error(orv_call("STestAbort", 3L, "bad_alloc"), "Memory allocation failed")
  expect_equal(orv_call("STestAbort", 10L, "none")$error, 0L)
  expect_equal(orv_call("STestBlocks"), before)
  # Messages are titled and cut to their buffer; wrong types abort with a message.
  # Each call's lines and error in a record.
  cases <- list(list("STestMessages", "mestitle", 1L, "Db File"),
                list("STestMessages", "mestitle", 0L, "Loop"),
                # 999 bytes: the head of the text, then "...", then the line end.
                list("STestMessages", "message", 0L, strrep("x", 5000)),
                list("STestConvert", "value_integer", c(1, 2)),
                list("STestConvert", "value_char", 1),
                list("STestConvert", "array_integer", list(1)),
                list("STestConvert", "array_double", "x"), list("STestConvert", "array_char", 1:3))
  said <- unlist(lapply(cases, function(case) {
    r <- orv_console(do.call(orv_call, case))
    c(paste(deparse(case), collapse = ""),
      paste("  error:", if (inherits(r$value, "error")) conditionMessage(r$value) else "none"),
      paste("  said:", r$lines))
  }))
  orv_expect_record(squeezed(said), "support-messages")
  expect_error(conv("value_integer", numeric(0)), "[Ee]xpecting a single")
})

test_that("the console readers, as the console shows them, up to the end of its input", {
  out <- orv_dialogue(c(orv_show_def,
    reader("logical", "Confirm deletion", 0, 0L, answers = c("", "yes", "y")),
    reader("logical", "Overwrite", 1, 5L, answers = ""),
    reader("logical", "Undefined default", 1, -1234567L, answers = c("", "N")),
    reader("int", "Bit Length (1,2,4,8,16,32 or 64", 1, 32L, 1L, 64L, ""),
    reader("int", "Swapped", 0, 0L, 10L, 5L, "-7"),
    reader("int", "Raised default", 1, 0L, 1L, 64L, ""),
    reader("int", "Upper", 1, 99L, -1234567L, 8L, ""),
    reader("int", "Bounded", 0, 0L, 1L, 3L, c("na", "12abc", "NA")),
    reader("string", "Enter your choice", 0, "", answers = c("", "abc def")),
    reader("string", "Unit", 1, strrep("d", 300), answers = ""),
    reader("logical", strrep("q", 2000), 0, 0L, answers = "y"),
    # The end of console input ends the call with an error instead of asking for ever.
    paste0('r <- try(.Call("STestReaders", "int", "Rank", 0L, 0L, 1L, 5L, ',
           'PACKAGE = "orvanelink"), silent = TRUE); cat(r)'),
    "", "9"))
  # The record shows each prompt with its answer and the value read: an empty
  # answer refused without a default; "na" as no undefined answer but 0, below
  # the minimum; the question cut, never the answer guide that follows it; a
  # default longer than the answer buffer cut to fit it.
  orv_expect_record(squeezed(dialogue_lines(out)), "support-readers")
})

test_that("a Db description keeps the coordinates axis-major, or a grid's first ndim axes", {
  # The record shows each description whole; a refused one (a dimension
  # above 3, short vectors) is the one before it, untouched.
  cases <- list(list(2L, 5L, 0L, coor = c(1:5, 11:15)),
                list(2L, 6L, 1L, nx = c(2L, 3L, 9L), x0 = c(1, 2, 3), dx = c(0.5, 1, 9),
                     angle = c(10, 0, 9)),
                list(3L, 2L, 0L, coor = as.numeric(1:6)), list(4L, 2L, 1L, 1:4, 1:4, 1:4, 1:4),
                list(2L, 5L, 0L, coor = 1:9), list(2L, 4L, 1L, 2L, c(0, 0), c(1, 1), c(0, 0)))
  orv_expect_record(vapply(cases, function(a) {
    labelled(deparse1(as.call(c(quote(db), a))), do.call(db, a))
  }, ""), "support-descriptions")
})

test_that(paste("grids reorder between server order (Z fastest) and Db order (X fastest) as",
                "written out by hand"), {
  a <- c(10, 11, 12, 13, 14, 15) # server order of a 2 x 3 x 1 grid
  # The record shows each reordering, written out by hand once; the last two
  # (values too few, nodes too many) are refused.
  cases <- list( # mode, orientation, nodes, values in
    list(1, c(1, 1, 1), c(2, 3, 1), a), list(1, c(-1, 1, 1), c(2, 3, 1), a),
    list(1, c(1, 0, 1), c(2, 3, 1), a), list(1, c(1, 1, -1), c(2, 1, 3), 0:5),
    list(-1, c(1, -1, 1), c(1, 3, 2), c(0, 2, 4, 1, 3, 5)), list(1, c(1, 1, 1), c(2, 2, 2), 0:7),
    list(1, c(1, 1, 1), c(2, 0, 3), c(5, 6, 7)), # an axis without nodes: left alone
    list(-1, c(1, 1, 1), c(-2, 3, 1), 1:2), list(1, c(1, 1, 1), c(2, 3, 1), 1:5),
    list(1, c(1, 1, 1), c(65536, 65536, 2), 1))
  orv_expect_record(vapply(cases, function(case) {
    labelled(deparse1(as.call(c(quote(tr), case))), do.call(tr, case)[c("tab", "error")])
  }, ""), "support-reorders")
  # The write direction undoes the read direction in every orientation.
  v <- runif(3 * 2 * 4)
  for (ox in c(-1, 1)) for (oy in c(0, 1)) for (oz in c(-1, 1)) {
    db <- tr(1L, c(ox, oy, oz), c(3, 2, 4), v)$tab
    expect_equal(tr(-1L, c(ox, oy, oz), c(3, 2, 4), db)$tab, v, info = paste(ox, oy, oz))
  }
})

test_that("the progress bar counts the bytes of the values, never in scientific notation", {
  withr::local_options(cli.dynamic = TRUE, cli.ansi = FALSE, cli.num_colors = 1,
                       cli.progress_show_after = 0)
  cases <- list( # values done, values in all, what the bar says of them
    list(59064441, 1e8, "473 MB / 800 MB"),
    list(500, 1000, "4.0 kB / 8.0 kB"),
    list(3e9, 6e9, "24 GB / 48 GB"))
  for (case in cases) {
    shown <- character(0)
    withCallingHandlers(orv_call("STestProgressBar", case[[1]], case[[2]]),
                        message = function(m) {
                          shown <<- c(shown, conditionMessage(m))
                          invokeRestart("muffleMessage")
                        })
    text <- gsub(" +", " ", paste(shown, collapse = ""))
    label <- sprintf("%g of %g values: %s", case[[1]], case[[2]], text)
    expect_true(grepl(case[[3]], text, fixed = TRUE), label = label)
    expect_false(grepl("[0-9]e[+-]?[0-9]", text), label = label)
    expect_true(grepl("[0-9.]+ [kMGTP]?B/s", text) && grepl("ETA", text), label = label)
  }
})
