# Description of a Db handed in by R (DESC_DB).

db <- function(ndim, nech, grid, nx = NULL, x0 = NULL, dx = NULL, angle = NULL, coor = NULL) {
  orv_call("STestFileFromDb", ndim, nech, grid, nx, x0, dx, angle, coor)
}

test_that("a point Db keeps its coordinates axis-major; a grid its first ndim axes", {
  r <- db(2L, 5L, 0L, coor = c(1:5, 11:15))
  expect_equal(r$error, 0L)
  expect_equal(r$coor, c(1:5, 11:15))
  expect_equal(r$nx, c(0L, 0L, 0L))
  r <- db(2L, 6L, 1L, nx = c(2L, 3L, 9L), x0 = c(1, 2, 3), dx = c(0.5, 1, 9), angle = c(10, 0, 9))
  expect_equal(r[c("nx", "x0", "dx", "angle")],
               list(nx = c(2L, 3L, 0L), x0 = c(1, 2, 0), dx = c(0.5, 1, 0), angle = c(10, 0, 0)))
  expect_length(r$coor, 0)
  expect_equal(db(0L, 4L, 0L)$error, 0L)
})

test_that("a dimension above 3 or short vectors are refused without touching the description", {
  good <- db(3L, 2L, 0L, coor = as.numeric(1:6))
  out <- orv_dialogue(c(
    'r <- .Call("STestFileFromDb", 4L, 2L, 1L, 1:4, 1:4, 1:4, 1:4, NULL, PACKAGE = "orvanelink")',
    'cat("RESULT", r$error, r$ndim, "\\n")',
    'r <- .Call("STestFileFromDb", 2L, 5L, 0L, NULL, NULL, NULL, NULL, 1:9, PACKAGE = "orvanelink")',
    'r <- .Call("STestFileFromDb", 2L, 4L, 1L, 2L, c(0, 0), c(1, 1), c(0, 0), NULL, PACKAGE = "orvanelink")'))
  expect_true(any(out == "Space dimension may not be larger than 3"))
  expect_true(any(out == "The Db coordinates hold 9 values where 10 are expected"))
  expect_true(any(out == "The Db grid description needs 2 values per axis vector"))
  r <- db(4L, 2L, 1L, 1:4, 1:4, 1:4, 1:4)
  expect_equal(r$error, 1L)
  expect_equal(r$ndim, 3L)
  expect_equal(r$nech, 2L)
  expect_equal(db(2L, 5L, 0L, coor = 1:9)$error, 1L)
})
