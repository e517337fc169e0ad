# The console readers, driven through the test-only entry point STestReaders
# in a child R whose script lines after the call are the answers.

reader_call <- function(kind, question, flag_def, valdef, valmin = NULL, valmax = NULL) {
  sprintf('r <- .Call("STestReaders", "%s", "%s", %dL, %s, %s, %s, PACKAGE = "orvanelink"); orv_show("value", r$value)',
          kind, question, as.integer(flag_def), deparse(valdef), deparse(valmin), deparse(valmax))
}

test_that("lire_logical shows its prompt exactly, refuses words and returns defaults unchanged", {
  out <- orv_dialogue(c(orv_show_def,
    reader_call("logical", "Confirm deletion", 0, 0L), "", "yes", "y",
    reader_call("logical", "Overwrite", 1, 5L), "",
    reader_call("logical", "Keep", 1, 0L), "N",
    reader_call("logical", "Undefined default", 1, -1234567L), "", "n"))
  expect_equal(sum(out == "Confirm deletion  [y,n] : "), 1)
  expect_true(any(out == "No default value provided"))
  expect_true(any(out == "Confirm deletion  [y,n] : yes"))
  expect_true(any(out == "The only authorized answers are 'y' or 'n'"))
  expect_true(any(out == "Overwrite (Def=y) [y,n] : "))
  expect_true(any(out == "Keep (Def=n) [y,n] : N"))
  # -1234567 is no default: the prompt shows none and an empty line is refused.
  expect_equal(sum(out == "Undefined default  [y,n] : "), 1)
  expect_equal(orv_result(out, "value"), c("1", "5", "0", "0"))
})

test_that("lire_int checks bounds, swaps nothing, reads NA and leading numbers", {
  out <- orv_dialogue(c(orv_show_def,
    reader_call("int", "Bit Length (1,2,4,8,16,32 or 64", 1, 32L, 1L, 64L), "",
    reader_call("int", "Swapped", 0, 0L, 10L, 5L), "-7",
    reader_call("int", "Raised default", 1, 0L, 1L, 64L), "",
    reader_call("int", "Upper", 1, 99L, -1234567L, 8L), "",
    reader_call("int", "Bounded", 0, 0L, 1L, 3L), "na", "12abc", "NA",
    reader_call("int", "Range", 0, 0L, 1L, 20L), "12abc",
    reader_call("int", "Letters", 0, 0L, -1234567L, -1234567L), "abc",
    reader_call("int", "Exact", 0, 0L, 3L, 3L), "", "2", "3"))
  expect_true(any(out == "Bit Length (1,2,4,8,16,32 or 64 (Def=32) [1,64] : "))
  expect_true(any(out == "Swapped [NA,NA] : -7"))
  expect_true(any(out == "Raised default (Def=1) [1,64] : "))
  expect_true(any(out == "Upper (Def=8) [NA,8] : "))
  # "na" is no undefined answer: it reads 0, below the minimum.
  expect_true(any(out == "Answer (0) must be larger than Minimum (1)"))
  expect_true(any(out == "Answer (12) must be smaller than Maximum (3)"))
  expect_true(any(out == "Letters [NA,NA] : abc"))
  expect_true(any(out == "Answer (2) must be larger than Minimum (3)"))
  expect_equal(sum(out == "No default value provided"), 1)
  expect_equal(orv_result(out, "value"),
               c("32", "-7", "1", "8", "-1234567", "12", "0", "3"))
})

test_that("lire_string refuses an empty answer without default and returns the default", {
  out <- orv_dialogue(c(orv_show_def,
    reader_call("string", "Enter your choice", 0, ""), "", "abc def",
    reader_call("string", "Unit", 1, "m"), ""))
  expect_equal(sum(out == "Enter your choice : "), 1)
  expect_equal(which(out == "No default value provided") - 1, which(out == "Enter your choice : "))
  expect_true(any(out == "Enter your choice : abc def"))
  expect_true(any(out == "Unit (Def=m) : "))
  expect_equal(orv_result(out, "value"), c("abc def", "m"))
})

test_that("over-long prompts and defaults are cut to fit their buffers", {
  longq <- strrep("q", 2000)
  out <- orv_dialogue(c(orv_show_def,
    reader_call("logical", longq, 0, 0L), "y",
    reader_call("string", "Other", 1, strrep("d", 300)), ""))
  values <- orv_result(out, "value")
  expect_equal(values[1], "1")
  # The question is cut, never the answer guide that follows it.
  expect_true(any(out == paste0(strrep("q", 700), "  [y,n] : y")))
  # A default longer than the answer buffer is cut to fit it.
  expect_equal(values[2], strrep("d", 99))
})

test_that("the end of console input ends the call with an error instead of asking for ever", {
  out <- orv_dialogue(c(orv_show_def,
    'r <- try(.Call("STestReaders", "logical", "Confirm deletion", 0L, 0L, NULL, NULL, PACKAGE = "orvanelink"), silent = TRUE); cat(r)'))
  expect_true(any(grepl("End of console input: no answer to 'Confirm deletion'", out, fixed = TRUE)))
  expect_lte(sum(grepl("Confirm deletion", out, fixed = TRUE)), 3)
  out <- orv_dialogue(c(orv_show_def,
    'r <- try(.Call("STestReaders", "int", "Rank", 0L, 0L, 1L, 5L, PACKAGE = "orvanelink"), silent = TRUE); cat(r)',
    '', '9'))
  # A refused answer, then nothing left: the error comes after the messages.
  expect_true(any(out == "No default value provided"))
  expect_true(any(out == "Answer (9) must be smaller than Maximum (5)"))
  expect_true(any(grepl("End of console input: no answer to 'Rank'", out, fixed = TRUE)))
})
