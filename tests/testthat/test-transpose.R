# Grid reordering between the server's order (Z fastest) and the Db's order
# (X fastest), against arrays written out by hand.

tr <- function(mode, orient, nx, tab) orv_call("STestTranspose", mode, as.integer(orient), as.integer(nx), tab)

test_that("a 2 x 3 x 1 grid in each orientation, read direction", {
  a <- c(10, 11, 12, 13, 14, 15) # server order
  expect_equal(tr(1L, c(1, 1, 1), c(2, 3, 1), a)$tab, c(10, 13, 11, 14, 12, 15))
  expect_equal(tr(1L, c(-1, 1, 1), c(2, 3, 1), a)$tab, c(13, 10, 14, 11, 15, 12))
  expect_equal(tr(1L, c(1, 0, 1), c(2, 3, 1), a)$tab, c(12, 15, 11, 14, 10, 13))
  # One node along Z: its reversal changes nothing.
  expect_equal(tr(1L, c(1, 1, -1), c(2, 3, 1), a)$tab, c(10, 13, 11, 14, 12, 15))
})

test_that("the write direction is the inverse of the read direction", {
  expect_equal(tr(-1L, c(1, 1, 1), c(2, 3, 1), c(10, 13, 11, 14, 12, 15))$tab, 10:15)
  expect_equal(tr(-1L, c(-1, 1, 1), c(2, 3, 1), c(13, 10, 14, 11, 15, 12))$tab, 10:15)
  set.seed(3)
  v <- runif(3 * 2 * 4)
  for (ox in c(-1, 1)) for (oy in c(0, 1)) for (oz in c(-1, 1)) {
    db <- tr(1L, c(ox, oy, oz), c(3, 2, 4), v)$tab
    expect_equal(tr(-1L, c(ox, oy, oz), c(3, 2, 4), db)$tab, v)
  }
})

test_that("three-dimensional grids", {
  s <- 0:5 # nx = 2, ny = 1, nz = 3, server order
  expect_equal(tr(1L, c(1, 1, 1), c(2, 1, 3), s)$tab, c(0, 3, 1, 4, 2, 5))
  expect_equal(tr(1L, c(1, 1, -1), c(2, 1, 3), s)$tab, c(2, 5, 1, 4, 0, 3))
  expect_equal(tr(1L, c(1, 1, 1), c(2, 2, 2), 0:7)$tab, c(0, 4, 2, 6, 1, 5, 3, 7))
  expect_equal(tr(-1L, c(1, 1, 1), c(2, 2, 2), c(0, 4, 2, 6, 1, 5, 3, 7))$tab, 0:7)
})

test_that("an axis without nodes leaves the values alone; a wrong length is refused", {
  r <- tr(1L, c(1, 1, 1), c(2, 0, 3), c(5, 6, 7))
  expect_equal(r$error, 0L)
  expect_equal(r$tab, c(5, 6, 7))
  expect_equal(tr(-1L, c(1, 1, 1), c(-2, 3, 1), 1:2)$tab, c(1, 2))
  expect_equal(tr(1L, c(1, 1, 1), c(2, 3, 1), 1:5)$error, 1L)
  expect_equal(tr(1L, c(1, 1, 1), c(65536, 65536, 2), 1)$error, 1L)
})
