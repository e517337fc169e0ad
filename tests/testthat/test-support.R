# R value conversion, message routines and the abort path of the support
# layer, through the test-only entry points.

conv <- function(which, value) orv_call("STestConvert", which, value)

test_that("single values: NULL and NA are undefined, reals are truncated toward zero", {
  for (v in list(NULL, NA, NA_integer_, NA_real_, NaN, Inf, 3e9, -3e9)) {
    expect_equal(conv("value_integer", v)$value, -1234567L)
  }
  expect_equal(conv("value_integer", 3.99)$value, 3L)
  expect_equal(conv("value_integer", -2.9)$value, -2L)
  expect_equal(conv("value_integer", TRUE)$value, 1L)
  expect_equal(conv("value_integer", 7L)$value, 7L)
  expect_equal(conv("value_char", NULL)$value, "")
  expect_equal(conv("value_char", NA)$value, "")
  expect_equal(conv("value_char", "abc")$value, "abc")
  expect_equal(conv("value_char", NA_character_)$value, "NA")
})

test_that("arrays: NA becomes the undefined value, a single integer NA is no array", {
  r <- conv("array_integer", c(1.5, NA, -2.5))
  expect_equal(r$value, c(1L, -1234567L, -2L))
  expect_equal(r$count, 3L)
  for (v in list(NA, NA_integer_, integer(0), NULL)) {
    r <- conv("array_integer", v)
    expect_equal(r$count, 0L)
    expect_equal(r$null, 1L)
  }
  r <- conv("array_integer", c(NA, NA))
  expect_equal(r$value, c(-1234567L, -1234567L))
  r <- conv("array_double", c(NA, NaN, 2))
  expect_equal(r$value[c(1, 3)], c(1.234e30, 2))
  expect_true(is.nan(r$value[2]))
  r <- conv("array_double", NA)
  expect_equal(r$value, 1.234e30)
  expect_equal(r$count, 1L)
  r <- conv("array_double", c(1L, NA_integer_, TRUE))
  expect_equal(r$value, c(1, 1.234e30, 1))
  expect_equal(conv("array_double", numeric(0))$null, 1L)
  expect_equal(conv("array_char", NA)$count, 0L)
  r <- conv("array_char", c("x", NA))
  expect_equal(r$value, c("x", "NA"))
  expect_equal(r$count, 2L)
  expect_equal(conv("array_char", character(0))$count, 0L)
})

test_that("wrong types and lengths abort with their messages and an R error", {
  out <- orv_dialogue(c(
    'f <- function(w, v) { r <- try(.Call("STestConvert", w, v, PACKAGE = "orvanelink"), silent = TRUE); cat("ERR", conditionMessage(attr(r, "condition")), "\\n") }',
    'f("value_integer", c(1, 2))', 'f("value_integer", "a")', 'f("value_char", 1)',
    'f("value_char", c("a", "b"))', 'f("array_integer", list(1))', 'f("array_double", "x")',
    'f("array_char", 1:3)', 'f("value_integer", numeric(0))', 'f("value_char", character(0))'))
  expect_true(any(out == "Wrong number of arguments in RC_get_value_integer (2 > 1)"))
  expect_true(any(out == "Wrong type in RC_get_value_integer (type=16)"))
  expect_true(any(out == "Wrong type in RC_get_value_char (type=14)"))
  expect_true(any(out == "Wrong number of arguments in RC_get_value_char (2 > 1)"))
  expect_true(any(out == "Wrong type in RC_get_array_integer (type=19)"))
  expect_true(any(out == "Wrong type in RC_get_array_double (type=16)"))
  expect_true(any(out == "Wrong type in RC_get_array_char (type=13)"))
  expect_equal(sum(grepl("^ERR Abort caught by C and return to R", out)), 7)
  # Zero-length single values are refused by the conversion itself.
  expect_equal(sum(grepl("^ERR [Ee]xpecting a single", out)), 2)
})

test_that("messages are formatted, titled and cut to the message buffer", {
  out <- orv_dialogue(c(
    'invisible(.Call("STestMessages", "mestitle", 1L, "Db File", PACKAGE = "orvanelink"))',
    'invisible(.Call("STestMessages", "mestitle", 0L, "Loop", PACKAGE = "orvanelink"))',
    'invisible(.Call("STestMessages", "mestitle", 3L, "Plain", PACKAGE = "orvanelink"))',
    'invisible(.Call("STestMessages", "messerr", 0L, "an error", PACKAGE = "orvanelink"))',
    'invisible(.Call("STestMessages", "message", 0L, strrep("x", 5000), PACKAGE = "orvanelink"))',
    'cat("END\\n")'))
  i <- orv_line(out, "Db File")
  expect_equal(out[(i - 1):(i + 1)], c("", "Db File", "-------"))
  i <- orv_line(out, "Loop")
  expect_equal(out[i + 1], "====")
  i <- orv_line(out, "Plain")
  expect_equal(out[i + 1], "")
  expect_true(any(out == "an error"))
  # 999 bytes: the head of the text, then "...", then the line end.
  long <- grep("^xxxx", out, value = TRUE)
  expect_equal(long, paste0(strrep("x", 995), "..."))
  expect_equal(out[orv_line(out, long) + 1], "> cat(\"END\\n\")")
})

test_that("an abort releases the call's memory and leaves R usable", {
  before <- orv_call("STestBlocks")
  for (kind in c("abort", "bad_alloc", "rcpp")) {
    for (i in 1:5) {
      expect_error(orv_call("STestAbort", 10L, kind))
    }
  }
  expect_error(orv_call("STestAbort", 3L, "abort"), "Abort caught by C and return to R", fixed = TRUE)
  expect_error(orv_call("STestAbort", 3L, "bad_alloc"), "Memory allocation failed")
  expect_equal(orv_call("STestAbort", 10L, "none")$error, 0L)
  expect_equal(orv_call("STestBlocks"), before)
})
